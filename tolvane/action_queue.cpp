#include <tolvane/action_queue.h>

#include <new>
#include <stdexcept>
#include <thread>

#include <quillo/render.h>
#include <tavik/error.h>
#include <tolvane/guid.h>
#include <tolvane/package.h>
#include <tolvane/registry_script.h>
#include <tolvane/setup_ui.h>

namespace tolvane {

namespace {

using tavik::details::hresult_from_win32;

constexpr HRESULT hr_access_denied = static_cast<HRESULT>(0x80070005);
constexpr HRESULT hr_file_not_found = static_cast<HRESULT>(0x80070002);
constexpr HRESULT hr_path_not_found = static_cast<HRESULT>(0x80070003);
constexpr HRESULT hr_already_exists = static_cast<HRESULT>(0x800700B7);
constexpr HRESULT hr_invalid_function = static_cast<HRESULT>(0x80070001);

bool is_gone(HRESULT hr) noexcept { return hr == hr_file_not_found || hr == hr_path_not_found; }

// Clears FILE_ATTRIBUTE_READONLY when it is set; true when it was set and is now cleared.
bool clear_read_only(package& pkg, const std::wstring& path, HANDLE transaction)
{
    DWORD attributes = pkg.calls().get_attributes(path, transaction);
    if (attributes == INVALID_FILE_ATTRIBUTES || !(attributes & FILE_ATTRIBUTE_READONLY))
        return false;
    return pkg.calls().set_attributes(path, attributes & ~DWORD(FILE_ATTRIBUTE_READONLY), transaction);
}

// Reports a file that stayed locked: 0x80070020 when the user interface takes it (the action is
// postponed), else the last failure.
HRESULT report_locked(package& pkg, const std::wstring& path, HRESULT last)
{
    SetupUiInterface* ui = pkg.ui();
    if (ui && ui->add_locked_file(path))
        return sharing_violation_hresult;
    return last;
}

// Before an untransacted change replaces or deletes `path`, keeps its current content in the run's
// backup folder. S_OK with `backup` set; S_FALSE when there is nothing there to keep; else the
// failure, and the change must not be made: its undo could not bring the file back.
HRESULT back_up(package& pkg, const std::wstring& path, std::wstring& backup)
{
    DWORD attributes = pkg.calls().get_attributes(path, nullptr);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        HRESULT hr = last_error_hresult();
        return is_gone(hr) ? S_FALSE : hr;
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return S_FALSE; // the change itself fails on a directory
    backup = new_backup_path(pkg);
    if (!pkg.calls().copy_file(path, backup, nullptr)) {
        HRESULT hr = last_error_hresult();
        // A file another program holds cannot be read either: it goes to the user interface like
        // any locked file, and the action is postponed.
        return hr == sharing_violation_hresult ? report_locked(pkg, path, hr) : hr;
    }
    return S_OK;
}

// The undo of a change to `path`: put the backup back, or remove what the change created.
std::unique_ptr<action> undo_of_replacement(const std::wstring& path, const std::wstring& backup)
{
    if (!backup.empty())
        return std::make_unique<copy_file_action>(backup, path);
    return std::make_unique<remove_file_action>(path);
}

HRESULT hresult_of_current_exception() noexcept
{
    try {
        throw;
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code() < 0 ? e.code() : E_FAIL;
    } catch (const tavik::details::hresult_error& e) {
        return e.code() < 0 ? e.code() : E_FAIL;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

std::wstring flag(bool b) { return b ? L"1" : L"0"; }

} // namespace

HRESULT last_error_hresult() noexcept
{
    DWORD e = GetLastError();
    return hresult_from_win32(static_cast<std::int32_t>(e ? e : ERROR_GEN_FAILURE));
}

std::wstring check_install_folder(std::wstring_view path)
{
    if (path.empty())
        return L"a folder, the path is empty";
    std::size_t first = 0;
    if (path.size() >= 3 && path[1] == L':' && (path[2] == L'\\' || path[2] == L'/')
        && ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z'))) {
        first = 3;
    } else if (path.starts_with(L"\\\\") || path.starts_with(L"//")) {
        // \\server\share\ is the root of the share; \\?\ and \\.\ prefixes are not accepted.
        std::size_t server_end = path.find_first_of(L"\\/", 2);
        if (server_end == std::wstring_view::npos || server_end == 2 || path[2] == L'?' || path[2] == L'.')
            return L"an absolute folder (a drive letter or a share)";
        std::size_t share_end = path.find_first_of(L"\\/", server_end + 1);
        if (share_end == std::wstring_view::npos)
            return L"a folder below the root of the share";
        first = share_end + 1;
    } else {
        return L"an absolute folder (a drive letter or a share), the path is relative";
    }
    if (path.find_first_not_of(L"\\/", first) == std::wstring_view::npos)
        return L"a folder below the root of the drive";
    return {};
}

std::wstring new_backup_path(const package& pkg)
{
    std::wstring path = pkg.backup_folder();
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path + new_guid_text();
}

// --- queue

void ActionQueue::add(std::unique_ptr<action> a)
{
    if (actions_.size() >= actions_.max_size())
        throw std::length_error("list too long");
    actions_.push_back(std::move(a));
    last_is_status_ = false;
}

void ActionQueue::add_status(std::wstring text)
{
    if (last_is_status_)
        actions_.pop_back();
    actions_.push_back(std::make_unique<status_action>(std::move(text)));
    last_is_status_ = true;
}

std::wstring ActionQueue::log_text() const
{
    std::wstring out;
    for (const auto& a : actions_) {
        std::size_t before = out.size();
        a->log_text(out);
        if (out.size() != before)
            out += L"\r\n";
    }
    return out;
}

HRESULT ActionQueue::run(std::wstring& log, package& pkg, ActionQueue* undo, HANDLE transaction, SetupUiInterface* ui,
                         bool keep)
{
    return run_impl(log, pkg, undo, transaction, ui, keep, true);
}

HRESULT ActionQueue::run_rollback(std::wstring& log, package& pkg, SetupUiInterface* ui)
{
    reverse();
    // A rollback queue has no marker of its own: without one, undo actions that meet a locked file
    // would be postponed into a delayed queue that nothing retries, and silently dropped.
    add(std::make_unique<empty_delayed_queue_action>());
    HRESULT hr = run_impl(log, pkg, nullptr, nullptr, ui, true, false);
    actions_.clear();
    last_is_status_ = false;
    return hr;
}

HRESULT ActionQueue::run_impl(std::wstring& log, package& pkg, ActionQueue* undo, HANDLE transaction,
                              SetupUiInterface* ui, bool keep, bool cancellable)
{
    if (actions_.empty())
        return S_OK;
    if (ui)
        ui->set_progress_range(steps_ ? steps_ : static_cast<std::uint32_t>(actions_.size()));
    const std::uint32_t increment = ui ? 1 : 0;
    std::uint32_t completed = 0;
    ActionQueue delayed;
    bool saw_false = false, saw_locked = false;
    HRESULT hr = S_OK;

    for (auto it = actions_.begin(); it != actions_.end();) {
        auto next = std::next(it);
        action& a = **it;
        std::size_t log_length = log.size();
        a.log_text(log);
        try {
            hr = a.execute(pkg, undo, transaction);
        } catch (...) {
            // A registry script or a registry write that throws must not skip the rollback.
            hr = hresult_of_current_exception();
        }
        if (hr < 0)
            log += quillo::format(L"\r\n\t>>> Error: {0b016xp}\r\n", static_cast<std::uint32_t>(hr));
        else if (log.size() != log_length)
            log += L"\r\n";
        if (!keep && hr >= 0)
            actions_.erase(it);
        if (hr == S_FALSE)
            saw_false = true;
        if (hr == sharing_violation_hresult) {
            if (!keep) {
                saw_locked = true;
                hr = S_OK;
            } else {
                std::unique_ptr<action> copy;
                try {
                    a.clone_for_delay(copy);
                    if (copy) {
                        delayed.add(std::move(copy));
                        hr = S_OK;
                    }
                } catch (const empty_delayed_signal&) {
                    if (delayed.empty()) {
                        hr = S_OK;
                    } else {
                        do {
                            SetupUiInterface* owner = pkg.ui();
                            if (!owner || !owner->shutdown_applications()) {
                                hr = sharing_violation_hresult;
                                break;
                            }
                            log += L"*** Retrying delayed actions\r\n";
                            hr = delayed.run_impl(log, pkg, undo, transaction, nullptr, false, cancellable);
                        } while (hr == sharing_violation_hresult);
                        if (hr >= 0 && pkg.ui())
                            pkg.ui()->restart_applications();
                    }
                }
            }
        }
        if (hr < 0)
            break;
        if (ui) {
            bool go_on = ui->set_progress(completed);
            if (!go_on && cancellable) {
                hr = E_ABORT;
                log += L"*** User aborted\r\n";
                break;
            }
            completed += increment;
        }
        it = next;
    }
    if (hr >= 0) {
        if (ui)
            ui->set_progress(completed);
        if (saw_locked)
            hr = sharing_violation_hresult;
    }
    if (hr < 0) {
        if (ui && undo)
            undo->set_steps(completed);
        return hr;
    }
    return saw_false ? S_FALSE : S_OK;
}

// --- actions

HRESULT status_action::execute(package& pkg, ActionQueue*, HANDLE)
{
    if (SetupUiInterface* ui = pkg.ui())
        ui->set_status(std::wstring(text_));
    return S_OK;
}

bool create_directory_tree(package& pkg, const std::wstring& path, HANDLE transaction)
{
    if (pkg.calls().create_directory(path, transaction))
        return true;
    if (GetLastError() != ERROR_PATH_NOT_FOUND)
        return false;
    std::size_t slash = path.find_last_of(L"\\/");
    // No parent left to make (a bare name, a drive that does not exist, a root): the path cannot be
    // made. Without this stop an empty or rootless path would recurse forever.
    if (slash == std::wstring::npos || slash == 0 || path.find_first_not_of(L"\\/", 0) >= slash
        || (slash == 2 && path[1] == L':')) {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return false;
    }
    std::wstring parent = path.substr(0, slash);
    while (!parent.empty() && (parent.back() == L'\\' || parent.back() == L'/'))
        parent.pop_back();
    if (parent.empty() || !create_directory_tree(pkg, parent, transaction))
        return false;
    return pkg.calls().create_directory(path, transaction);
}

HRESULT create_directory_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    if (!check_install_folder(path_).empty())
        return E_INVALIDARG;
    if (!create_directory_tree(pkg, path_, transaction)) {
        DWORD e = GetLastError();
        if (e != ERROR_ALREADY_EXISTS)
            return hresult_from_win32(static_cast<std::int32_t>(e));
    }
    if (!transaction && undo)
        undo->add(std::make_unique<remove_directory_action>(path_, false, false, true));
    return S_OK;
}

void create_directory_action::log_text(std::wstring& log) const
{
    log += L"Creating directory " + path_;
}

bool remove_directory_tree(package& pkg, const std::wstring& path, bool delete_files, HANDLE transaction)
{
    return remove_directory_tree(pkg.calls(), path, delete_files, transaction);
}

bool remove_directory_tree(platform::ktm::transacted_calls& calls, const std::wstring& path, bool delete_files,
                           HANDLE transaction)
{
    DWORD self = calls.get_attributes(path, transaction);
    if (self == INVALID_FILE_ATTRIBUTES || !(self & FILE_ATTRIBUTE_REPARSE_POINT)) {
        WIN32_FIND_DATAW data{};
        HANDLE find = calls.find_first(path + L"\\*", &data, transaction);
        bool result = true;
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = data.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                std::wstring child = path + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
                    // A junction or directory link is removed itself; what it points to may lie
                    // anywhere (the user's files, the system), so it is never entered.
                    if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
                        result = calls.remove_directory(child, transaction);
                    else
                        result = remove_directory_tree(calls, child, delete_files, transaction);
                } else {
                    result = delete_files && calls.delete_file(child, transaction);
                }
            } while (result && calls.find_next(find, &data));
            FindClose(find);
        }
    }
    return calls.remove_directory(path, transaction);
}

HRESULT remove_directory_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    // A path left relative or at a root by an unset variable must not be emptied.
    if (!check_install_folder(path_).empty())
        return force_ && !recurse_ ? S_OK : E_INVALIDARG;
    if (!recurse_) {
        if (!pkg.calls().remove_directory(path_, transaction)) {
            if (force_)
                return S_OK;
            return last_error_hresult();
        }
        if (!transaction && undo)
            undo->add(std::make_unique<create_directory_action>(path_));
        return S_OK;
    }
    if (remove_directory_tree(pkg, path_, force_, transaction) && free_up_) {
        std::wstring parent = path_;
        for (;;) {
            std::size_t slash = parent.find_last_of(L'\\');
            if (slash == std::wstring::npos || slash == 0)
                break;
            parent.resize(slash);
            if (!pkg.calls().remove_directory(parent, transaction))
                break;
        }
    }
    return S_OK;
}

void remove_directory_action::log_text(std::wstring& log) const
{
    log += L"Removing directory " + path_ + L", recurse=" + flag(recurse_) + L", freeup=" + flag(free_up_)
           + L", force=" + flag(force_);
}

HRESULT copy_file_with_retry(const std::wstring& source, const std::wstring& destination, package& pkg,
                             ActionQueue* undo, HANDLE transaction)
{
    HRESULT hr = S_OK;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (pkg.calls().copy_file(source, destination, transaction))
            return S_OK;
        hr = last_error_hresult();
        if (hr != hr_access_denied && hr != sharing_violation_hresult)
            return hr;
        if (hr == hr_access_denied && clear_read_only(pkg, destination, transaction))
            continue; // the next attempt follows at once
        if (undo) {
            if (undo->lock_wait_spent())
                return report_locked(pkg, destination, hr);
            undo->set_lock_wait_spent();
        }
        if (attempt == 3)
            break;
        std::this_thread::sleep_for(pkg.retry_delay());
    }
    return report_locked(pkg, destination, hr);
}

HRESULT copy_file_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    std::wstring backup;
    const bool record = !transaction && undo;
    if (record) {
        // Most copies make new files: trying that first spares the backup's existence check.
        if (pkg.calls().copy_new_file(source_, destination_)) {
            undo->add(std::make_unique<remove_file_action>(destination_));
            return S_OK;
        }
        HRESULT hr = back_up(pkg, destination_, backup);
        if (hr < 0)
            return hr;
    }
    HRESULT hr = copy_file_with_retry(source_, destination_, pkg, undo, transaction);
    if (hr >= 0 && record)
        undo->add(undo_of_replacement(destination_, backup));
    return hr;
}

void copy_file_action::log_text(std::wstring& log) const
{
    log += L"Copy file " + source_ + L" => " + destination_;
}

void copy_file_action::clone_for_delay(std::unique_ptr<action>& out) const
{
    out = std::make_unique<copy_file_action>(source_, destination_);
}

HRESULT remove_file_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    std::wstring backup;
    const bool record = !transaction && undo;
    if (record) {
        HRESULT hr = back_up(pkg, path_, backup);
        if (hr == S_FALSE)
            return S_OK; // already gone: nothing to do, nothing to undo
        if (hr < 0)
            return hr; // deleting without a copy would make the removal impossible to undo
    }
    HRESULT hr = S_OK;
    for (int attempt = 0; attempt < 4; ++attempt) {
        if (attempt > 0)
            std::this_thread::sleep_for(pkg.retry_delay());
        if (pkg.calls().delete_file(path_, transaction)) {
            hr = S_OK;
            break;
        }
        hr = last_error_hresult();
        if (hr == hr_access_denied && clear_read_only(pkg, path_, transaction)) {
            if (pkg.calls().delete_file(path_, transaction)) {
                hr = S_OK;
                break;
            }
            hr = last_error_hresult();
        }
        if (hr != hr_access_denied && hr != sharing_violation_hresult)
            break;
        if (attempt == 3)
            return report_locked(pkg, path_, hr);
    }
    if (hr >= 0) {
        if (record)
            undo->add(std::make_unique<copy_file_action>(backup, path_));
        return S_OK;
    }
    return is_gone(hr) ? S_OK : hr;
}

void remove_file_action::log_text(std::wstring& log) const
{
    log += L"Remove file " + path_;
}

void remove_file_action::clone_for_delay(std::unique_ptr<action>& out) const
{
    out = std::make_unique<remove_file_action>(path_);
}

HRESULT create_link_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    std::wstring backup;
    const bool record = !transaction && undo;
    if (record) {
        HRESULT hr = back_up(pkg, link_, backup);
        if (hr < 0)
            return hr;
    }
    HRESULT hr = S_OK;
    if (!pkg.calls().create_hard_link(link_, existing_, transaction)) {
        hr = last_error_hresult();
        if (hr == hr_invalid_function) {
            hr = copy_file_with_retry(existing_, link_, pkg, undo, transaction);
        } else if (hr == hr_already_exists) {
            // The file that is there stays as it was: there is nothing to undo.
            return S_OK;
        }
    }
    if (hr >= 0 && record)
        undo->add(undo_of_replacement(link_, backup));
    return hr;
}

void create_link_action::log_text(std::wstring& log) const
{
    log += L"Create link " + link_ + L" => " + existing_;
}

void create_link_action::clone_for_delay(std::unique_ptr<action>& out) const
{
    out = std::make_unique<create_link_action>(link_, existing_);
}

HRESULT generic_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    return function_(pkg, undo, transaction);
}

void generic_action::log_text(std::wstring& log) const
{
    log += L"Generic action: " + name_;
}

} // namespace tolvane

namespace tolvane {

void self_install_callback::set_busy(bool busy)
{
    if (busy && ui_)
        ui_->set_progress(indeterminate_progress); // the answer is not a cancel point here
}

namespace {

using auto_install_ex3 = HRESULT(WINAPI*)(const wchar_t*, std::int32_t, HANDLE, const wchar_t*, HWND, std::uint32_t,
                                          self_install_callback*);
using auto_install_ex2 = HRESULT(WINAPI*)(const wchar_t*, std::int32_t, HANDLE, const wchar_t*);
using auto_install_ex = HRESULT(WINAPI*)(const wchar_t*, std::int32_t, HANDLE);

template <class F>
F export_of(HMODULE module, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

} // namespace

HRESULT self_install_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    if (pkg.is_portable())
        return S_OK;
    HMODULE module = LoadLibraryExW(module_.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        HRESULT hr = last_error_hresult();
        return hr == HRESULT(0x800700C1) ? S_OK : hr;
    }
    HRESULT hr = E_INVALIDARG;
    const auto number = static_cast<std::int32_t>(number_);
    if (auto ex3 = export_of<auto_install_ex3>(module, "AutoInstallEx3")) {
        self_install_callback callback(pkg.ui());
        auto owner = reinterpret_cast<HWND>(static_cast<std::uintptr_t>(pkg.ui() ? pkg.ui()->get_window() : 0));
        hr = ex3(folder_.c_str(), number, transaction, id_.c_str(), owner, pkg.has_no_window() ? 1 : 0, &callback);
    } else if (auto ex2 = export_of<auto_install_ex2>(module, "AutoInstallEx2")) {
        hr = ex2(folder_.c_str(), number, transaction, id_.c_str());
    } else if (auto ex = export_of<auto_install_ex>(module, "AutoInstallEx")) {
        hr = ex(folder_.c_str(), number, transaction);
    }
    FreeLibrary(module);
    if (hr >= 0 && undo)
        undo->add(std::make_unique<self_install_action>(module_, folder_, id_, 3 - number_));
    return hr;
}

void self_install_action::log_text(std::wstring& log) const
{
    log += L"Self install file " + module_ + L", action=" + std::to_wstring(number_);
}

} // namespace tolvane

namespace tolvane {

HRESULT register_module_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    if (pkg.is_portable())
        return S_OK;
    std::uint32_t flags = view_flags_(); // an empty function throws std::bad_function_call
    const bool per_user = pkg.options().mode == 0;
    const std::size_t slash = script_.find_last_of(L'\\');
    if (slash != std::wstring::npos && slash >= 3 && script_.compare(slash - 3, 3, L"x86") == 0)
        flags = KEY_WOW64_32KEY;
    load_registry_script(script_, register_, per_user, flags, variables_, transaction, pkg.calls());
    if (!transaction && undo)
        undo->add(std::make_unique<register_module_action>(script_, !register_, view_flags_, variables_));
    return S_OK;
}

void register_module_action::log_text(std::wstring& log) const
{
    log += (register_ ? L"Register file " : L"Unregister file ") + script_;
}

} // namespace tolvane
