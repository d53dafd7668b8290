// Recover, the emptiness test and the removal of a folder with its store. All three block their
// caller (the folder server calls them on a thread-pool thread) and take the operation lock with a
// try, so that a second operation fails at once instead of waiting.
//
// Removal never follows a link: a junction or symbolic link inside the folder is removed itself,
// and whatever it names stays untouched. A removal without force tests emptiness once more while
// it holds the operation lock with the projection stopped, and checks every item again as it
// deletes it: the emptiness test the folder server made before has released the lock, and a file
// written since then has no copy in the store.

#include <dedup/engine/root_folder.h>

#include <dedup/engine/change_scan.h>
#include <dedup/engine/idle_unload.h>
#include <dedup/engine/optimize_context.h>

#include <ostrel/logger.h>

#include <tavik/error.h>
#include <tavik/lock_guard.h>

#include <platform/projfs/projfs.h>

#include <cstdio>
#include <vector>

namespace dedup::impl {

namespace {

constexpr HRESULT operation_busy = HRESULT_FROM_WIN32(ERROR_SERVICE_ALREADY_RUNNING);  // 0x80070420
constexpr HRESULT not_empty = HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);                // 0x80070091

// FileDispositionInfoEx, which the headers declare only for newer targets.
constexpr auto disposition_info_ex = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);

// Ends a removal: the HRESULT it answers.
struct removal_stopped {
    HRESULT code;
};

[[noreturn]] void raise_last_error()
{
    throw removal_stopped{HRESULT_FROM_WIN32(GetLastError())};
}

// The scan's platform call, counting the items whose state could not be read: the emptiness test
// cannot call a folder empty when it does not know what an item is.
class counting_scan_calls final : public change_scan_calls {
public:
    HRESULT on_disk_state(const std::wstring& path, PRJ_FILE_STATE& state) const override
    {
        const HRESULT result = system_change_scan_calls().on_disk_state(path, state);
        if (FAILED(result))
            ++failures;
        return result;
    }
    mutable std::size_t failures = 0;
};

struct listed_item {
    std::wstring name;
    bool folder = false;
    bool link = false;
};

// A reparse point that names another item (as the change scan tells them apart): a tag of 0 is one
// the file system did not report, and Wine lists Unix symbolic links so. The platform's own
// placeholders are reparse points that hold their item's data: they are walked like any folder.
bool is_link(const WIN32_FIND_DATAW& found) noexcept
{
    if (!(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return false;
    return found.dwReserved0 == 0 || IsReparseTagNameSurrogate(found.dwReserved0);
}

// The folder's entries but "." and ".."; a folder that cannot be opened has none.
std::vector<listed_item> list_folder_items(const std::wstring& path)
{
    std::vector<listed_item> items;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return items;
    do {
        const std::wstring name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        items.push_back({name, (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0, is_link(found)});
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return items;
}

// Whether the item may go without losing data: a placeholder (its data is in the store) or a
// tombstone. A full file, a written placeholder or an item whose state cannot be read may not.
bool may_delete_unstored(const std::wstring& full_path)
{
    PRJ_FILE_STATE state = PRJ_FILE_STATE(0);
    if (FAILED(PrjGetOnDiskFileState(full_path.c_str(), &state)))
        return false;
    if (state & PRJ_FILE_STATE_FULL)
        return false;
    return (state & (PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_HYDRATED_PLACEHOLDER | PRJ_FILE_STATE_TOMBSTONE)) != 0;
}

// Removes a link itself, never what it names: opened as the reparse point, not through it, and
// deleted on close.
void remove_link(const std::wstring& full_path)
{
    HANDLE link = CreateFileW(full_path.c_str(), DELETE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (link == INVALID_HANDLE_VALUE)
        raise_last_error();
    FILE_DISPOSITION_INFO_EX disposition{FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS};
    bool deleted = SetFileInformationByHandle(link, disposition_info_ex, &disposition, sizeof disposition);
    if (!deleted) {
        FILE_DISPOSITION_INFO plain{TRUE};
        deleted = SetFileInformationByHandle(link, FileDispositionInfo, &plain, sizeof plain);
    }
    const DWORD error = GetLastError();
    CloseHandle(link);
    if (!deleted)
        throw removal_stopped{HRESULT_FROM_WIN32(error)};
}

// Deletes everything inside the folder at `path`, depth first, from the last listed entry to the
// first. The first call that fails ends it with that error; `checked`: an item that is neither a
// placeholder nor a tombstone ends it with 0x80070091 before anything of it is deleted.
void delete_folder_contents(const std::wstring& path, bool checked)
{
    const std::vector<listed_item> items = list_folder_items(path);
    for (auto it = items.rbegin(); it != items.rend(); ++it) {
        const std::wstring full = path + L"\\" + it->name;
        if (it->link) {
            remove_link(full);
            continue;
        }
        if (checked && !may_delete_unstored(full))
            throw removal_stopped{not_empty};
        if (it->folder) {
            delete_folder_contents(full, checked);
            if (!RemoveDirectoryW(full.c_str()))
                raise_last_error();
        } else if (!DeleteFileW(full.c_str())) {
            raise_last_error();
        }
    }
}

void log_recover_error(HRESULT code)
{
    wchar_t text[512] = L"";
    FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, static_cast<DWORD>(code), 0, text,
                   512, nullptr);
    std::wstring message = text;
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    wchar_t number[32];
    std::swprintf(number, 32, L"0x%016llx", static_cast<unsigned long long>(static_cast<std::uint32_t>(code)));
    log_formatted(4, L"Recover operation completed with error {}.\r\n", std::wstring(number) + L": " + message);
}

} // namespace

// The emptiness test under the operation lock (held by the caller): no stored item, no block, and
// nothing full on disk. Anything that cannot be read counts as not empty.
static bool folder_is_empty_locked(root_folder& root, SRWLOCK& tree_lock, const std::shared_ptr<folder_t>& tree,
                                   block_store& store)
{
    tavik::details::shared_lock_guard tree_guard(tree_lock);
    if (!tree->children.empty())
        return false;
    {
        tavik::details::shared_lock_guard store_guard(store.store_lock());
        if (!store.index().empty() || store.cold_count() != 0)
            return false;
    }
    optimize_context context;
    context.root = &root;
    context.tree = std::make_shared<folder_t>();
    context.compression_level = 7;
    counting_scan_calls calls;
    change_list changes;
    try {
        changes = scan_changes(context, calls);
    } catch (...) {
        return false;
    }
    if (calls.failures != 0)
        return false;
    for (const skipped_item& skipped : context.skipped)
        if (skipped.reason == skip_reason::unreadable_folder)
            return false;
    for (const change_entry& entry : changes)
        if (entry.kind == change_kind::added)
            return false;
    return true;
}

std::expected<recover_stats, long> root_folder::recover(tavik::details::cancellation_source& source,
                                                        progress_callback progress)
{
    const bool idle_was_running = tavik::details::wait_blocking_result(suspend_idle_task(*this));
    auto restart_idle = [&] {
        if (idle_was_running)
            restart_idle_task(*this);
    };
    if (tavik::details::wait_blocking_result(impl::ensure_loaded(*this))) {
        restart_idle();
        return std::unexpected(static_cast<long>(E_FAIL));
    }
    log_formatted(4, L"Recover operation started on {}\r\n", folder_path_);
    if (!TryAcquireSRWLockExclusive(&operation_lock_)) {
        log_message(4, L"Another operation is already running, quitting.\r\n");
        restart_idle();
        return std::unexpected(static_cast<long>(operation_busy));
    }

    recover_stats stats{};
    HRESULT failure = S_OK;
    {
        optimize_context context;
        change_list changes;
        try {
            if (progress)
                progress(L"Preparing", 0, 1);
            {
                tavik::details::exclusive_lock_guard guard(tree_lock_);
                context.tree = folder_t::copy(*tree_, nullptr);
            }
            if (progress)
                progress(L"Searching for changes", 0, 1);
            context.root = this;
            context.compression_level = 7;
            changes = scan_changes(context);
            for (const change_entry& entry : changes) {
                if (entry.kind != change_kind::deleted)
                    continue;
                if (source.is_cancelled())
                    break;
                if (!context_)
                    continue;
                // Removing the tombstone lets the projection serve the item from the tree again.
                if (PrjDeleteFile(context_, entry.path.c_str(), PRJ_UPDATE_ALLOW_TOMBSTONE, nullptr) == S_OK)
                    ++((entry.flags & change_flags::folder) ? stats.folders_recovered : stats.files_recovered);
            }
            log_message(4, L"Recover operation completed successfully.\r\n");
        } catch (const tavik::details::hresult_error_impl& error) {
            failure = error.code();
        } catch (const std::bad_alloc&) {
            failure = E_OUTOFMEMORY;
        }
    }
    restart_idle();
    ReleaseSRWLockExclusive(&operation_lock_);
    progress = nullptr;
    if (failure != S_OK) {
        log_recover_error(failure);
        return std::unexpected(static_cast<long>(failure));
    }
    return stats;
}

bool root_folder::is_empty()
{
    const bool idle_was_running = tavik::details::wait_blocking_result(suspend_idle_task(*this));
    bool empty = false;
    if (!tavik::details::wait_blocking_result(impl::ensure_loaded(*this)) &&
        TryAcquireSRWLockExclusive(&operation_lock_)) {
        empty = folder_is_empty_locked(*this, tree_lock_, tree_, *store_);
        ReleaseSRWLockExclusive(&operation_lock_);
    }
    if (idle_was_running)
        restart_idle_task(*this);
    return empty;
}

std::int32_t root_folder::remove()
{
    return remove(removal{});
}

std::int32_t root_folder::remove(removal how)
{
    const bool idle_was_running = tavik::details::wait_blocking_result(suspend_idle_task(*this));
    auto restart_idle = [&] {
        if (idle_was_running)
            restart_idle_task(*this);
    };
    if (tavik::details::wait_blocking_result(impl::ensure_loaded(*this))) {
        restart_idle();
        return E_FAIL;
    }
    if (!TryAcquireSRWLockExclusive(&operation_lock_)) {
        restart_idle();
        return operation_busy;
    }

    HRESULT result = S_OK;
    if (how.projection)
        how.projection->stop();
    // With the projection stopped nothing can write into the folder any more: this look is final.
    if (!how.force && !folder_is_empty_locked(*this, tree_lock_, tree_, *store_)) {
        result = not_empty;
    } else {
        tavik::details::exclusive_lock_guard guard(tree_lock_);
        try {
            delete_folder_contents(folder_path_, !how.force);
            if (!RemoveDirectoryW(folder_path_.c_str()))
                raise_last_error();
            // The lock file is in the store folder: it closes (and so deletes itself) only once the
            // folder is gone, so that a refused removal leaves a folder that is still held.
            lock_file_.reset();
            delete_folder_contents(store_path_, false);
            if (!RemoveDirectoryW(store_path_.c_str()))
                raise_last_error();
        } catch (const removal_stopped& stopped) {
            result = stopped.code;
        } catch (const std::bad_alloc&) {
            result = E_OUTOFMEMORY;
        }
    }
    if (result == not_empty && how.projection)
        how.projection->restart();
    ReleaseSRWLockExclusive(&operation_lock_);
    restart_idle();
    return result;
}

} // namespace dedup::impl
