// The operations on a folder's store that are not part of this folder object yet (recover, the
// emptiness test, removal): they answer E_NOTIMPL. Optimize and the dry run are in optimize.cpp.

#include <dedup/engine/root_folder.h>

namespace dedup::impl {

std::expected<recover_stats, long> root_folder::recover(tavik::details::cancellation_source&, progress_callback)
{
    return std::unexpected(E_NOTIMPL);
}

bool root_folder::is_empty()
{
    return false;
}

std::int32_t root_folder::remove()
{
    return E_NOTIMPL;
}

} // namespace dedup::impl
