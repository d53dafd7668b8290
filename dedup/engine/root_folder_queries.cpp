// The queries the Projected File System callbacks make through IRoot. The tree queries and file
// data are served by the provider's side of the store, which this folder object does not have yet:
// they answer E_NOTIMPL (or nothing found). Renames and deletions leave the tree as the last
// optimization made it. Each first takes a hold on the loaded store (idle_unload.h), which loads
// it again after an idle unload and keeps it while the query runs.

#include <dedup/engine/root_folder.h>

#include <tavik/error_categories.h>

namespace dedup::impl {

bool root_folder::exists(const std::wstring&)
{
    const auto hold = tavik::details::wait_blocking_result(hold_loaded_store(*this));
    return false;
}

tavik::details::future<placeholder_lookup_result> root_folder::get_placeholder_info(std::wstring, bool,
                                                                                    tavik::details::cancellation_source&)
{
    const auto hold = co_await hold_loaded_store(*this);
    if (!hold)
        co_return std::unexpected(hold.error());
    co_return std::unexpected(make_hresult_error_code(E_NOTIMPL));
}

std::vector<dir_entry> root_folder::list_folder(std::wstring)
{
    const auto hold = tavik::details::wait_blocking_result(hold_loaded_store(*this));
    return {};
}

tavik::details::future<std::error_code> root_folder::read_file_data(std::wstring, std::uint64_t, std::uint32_t, void*,
                                                                   tavik::details::cancellation_source&)
{
    // A read holds the store until it has copied its data: an unload waits for the next round.
    const auto hold = co_await hold_loaded_store(*this);
    if (!hold)
        co_return hold.error();
    co_return make_hresult_error_code(E_NOTIMPL);
}

tavik::details::future<std::int32_t> root_folder::on_item_renamed(std::wstring, std::wstring)
{
    co_return S_OK;
}

void root_folder::on_item_deleted(std::wstring)
{
}

} // namespace dedup::impl
