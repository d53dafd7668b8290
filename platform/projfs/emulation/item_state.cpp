#include <platform/projfs/emulation/item_state.h>

namespace projfs::emulation {

observation observe(const recorded_item* recorded, const item_look* on_disk) noexcept
{
    observation seen;
    if (!on_disk) {
        if (recorded) {
            seen.what = condition::tombstone;
            seen.state = PRJ_FILE_STATE_TOMBSTONE;
        }
        return seen;
    }
    seen.read_only = (on_disk->attributes & FILE_ATTRIBUTE_READONLY) != 0;
    if (!recorded || recorded->look.directory() != on_disk->directory()) {
        seen.what = condition::full;
        seen.state = PRJ_FILE_STATE_FULL;
        return seen;
    }
    const item_look& was = recorded->look;
    const bool data_changed = !on_disk->directory() &&
                              (on_disk->size != was.size || on_disk->last_write_time != was.last_write_time);
    if (data_changed) {
        seen.what = condition::full;
        seen.state = PRJ_FILE_STATE_FULL;
        return seen;
    }
    const bool metadata_changed =
        (on_disk->attributes & compared_attributes) != (was.attributes & compared_attributes) ||
        on_disk->creation_time != was.creation_time ||
        (on_disk->directory() && on_disk->last_write_time != was.last_write_time);
    if (recorded->kind == recorded_kind::virtual_item && !metadata_changed) {
        seen.what = condition::virtual_item;
        return seen;
    }
    seen.what = condition::placeholder;
    seen.state = PRJ_FILE_STATE_PLACEHOLDER;
    if (recorded->kind == recorded_kind::hydrated_placeholder && !on_disk->directory())
        seen.state |= PRJ_FILE_STATE_HYDRATED_PLACEHOLDER;
    if (metadata_changed)
        seen.state |= PRJ_FILE_STATE_DIRTY_PLACEHOLDER;
    return seen;
}

PRJ_UPDATE_FAILURE_CAUSES refusal(const observation& seen, PRJ_UPDATE_TYPES flags) noexcept
{
    PRJ_UPDATE_FAILURE_CAUSES causes = PRJ_UPDATE_FAILURE_CAUSE_NONE;
    switch (seen.what) {
    case condition::tombstone:
        if (!(flags & PRJ_UPDATE_ALLOW_TOMBSTONE))
            causes |= PRJ_UPDATE_FAILURE_CAUSE_TOMBSTONE;
        break;
    case condition::full:
        if (!(flags & PRJ_UPDATE_ALLOW_DIRTY_DATA))
            causes |= PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA;
        break;
    case condition::placeholder:
        if ((seen.state & PRJ_FILE_STATE_DIRTY_PLACEHOLDER) && !(flags & PRJ_UPDATE_ALLOW_DIRTY_METADATA))
            causes |= PRJ_UPDATE_FAILURE_CAUSE_DIRTY_METADATA;
        break;
    default:
        break;
    }
    if (seen.read_only && !(flags & PRJ_UPDATE_ALLOW_READ_ONLY))
        causes |= PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY;
    return causes;
}

} // namespace projfs::emulation
