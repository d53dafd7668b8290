// The operations on a folder's store (convert, optimize, recover, the emptiness test, removal).
// They are not part of this folder object yet and answer E_NOTIMPL.

#include <dedup/engine/root_folder.h>

namespace dedup::impl {

tavik::details::future<std::expected<resync_stats, long>> root_folder::convert(std::wstring, std::int32_t,
                                                                               tavik::details::cancellation_source&,
                                                                               progress_callback)
{
    co_return std::unexpected(E_NOTIMPL);
}

tavik::details::future<std::expected<resync_stats, long>> root_folder::optimize(tavik::details::cancellation_source&,
                                                                                std::int32_t, purge_flags,
                                                                                progress_callback)
{
    co_return std::unexpected(E_NOTIMPL);
}

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
