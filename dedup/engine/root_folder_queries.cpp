// The queries the Projected File System callbacks make through IRoot. The tree queries and file
// data are served by the provider's side of the store, which this folder object does not have yet:
// they answer E_NOTIMPL (or nothing found). Renames and deletions leave the tree as the last
// optimization made it.

#include <dedup/engine/root_folder.h>

#include <tavik/error_categories.h>

namespace dedup::impl {

bool root_folder::exists(const std::wstring&)
{
    return false;
}

tavik::details::future<placeholder_lookup_result> root_folder::get_placeholder_info(std::wstring, bool,
                                                                                    tavik::details::cancellation_source&)
{
    co_return std::unexpected(make_hresult_error_code(E_NOTIMPL));
}

std::vector<dir_entry> root_folder::list_folder(std::wstring)
{
    return {};
}

tavik::details::future<std::error_code> root_folder::read_file_data(std::wstring, std::uint64_t, std::uint32_t, void*,
                                                                   tavik::details::cancellation_source&)
{
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
