#include <tolvane/package_source.h>

#include <tavik/error.h>
#include <tavik/thread_pool.h>
#include <tolvane/extract_archive.h>
#include <tolvane/guid.h>

namespace tolvane {

namespace {

// The extraction folder is ours alone: read-only files from the archive go too (the directory-tree
// removal of the actions would stop at them and leave the folder behind). Links are removed, never
// entered.
void remove_extraction_folder(const std::wstring& path)
{
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW((path + L"\\*").c_str(), &d);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = d.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring child = path + L"\\" + name;
            if (d.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                SetFileAttributesW(child.c_str(), d.dwFileAttributes & ~DWORD(FILE_ATTRIBUTE_READONLY));
            if (!(d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                DeleteFileW(child.c_str());
            else if (d.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                RemoveDirectoryW(child.c_str());
            else
                remove_extraction_folder(child);
        } while (FindNextFileW(h, &d));
        FindClose(h);
    }
    RemoveDirectoryW(path.c_str());
}

} // namespace

std::wstring format_archive_name(const GUID& id)
{
    return guid_to_string(id) + L".7z";
}

package_source::package_source(const GUID& id, std::wstring package_folder, bool skip,
                               tavik::details::cancellation_source cancel)
    : id_(id), package_folder_(std::move(package_folder)), cancel_(std::move(cancel)),
      archive_name_(format_archive_name(id)), skip_(skip)
{
    extraction_ = tavik::details::make_shared_future(extract_to_unique_folder());
}

package_source::~package_source()
{
    tavik::details::wait_blocking(tavik::details::shared_future_impl<void>::as_future(extraction_));
    if (!extraction_folder_.empty())
        remove_extraction_folder(extraction_folder_);
}

void package_source::wait() const
{
    tavik::details::wait_blocking_result(tavik::details::shared_future_impl<void>::as_future(extraction_));
}

tavik::details::future<void> package_source::extract_to_unique_folder()
{
    using namespace tavik::details;
    if (skip_)
        co_return;
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring folder(temp, n);
    if (!folder.empty() && folder.back() == L'\\')
        folder.pop_back();
    folder += L"\\" + new_guid_text();
    if (!CreateDirectoryW(folder.c_str(), nullptr))
        throw_last_error();
    extraction_folder_ = folder;
    if (cancel_.is_cancelled())
        throw_operation_cancelled();
    co_await resume_on_thread_pool{};
    cancellation_token token(cancel_, co_await this_promise);
    {
        cancellation_subscription subscription(token, [this] { cancel_flag_.store(1, std::memory_order_release); });
        extract_archive(archive_path(), extraction_folder_, &cancel_flag_);
    } // leaving the scope waits for a callback that is running
}

} // namespace tolvane
