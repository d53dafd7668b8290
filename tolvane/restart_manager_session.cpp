#include <tolvane/restart_manager_session.h>

#include <optional>

#include <tolvane/package.h>

namespace tolvane {

namespace rm = platform::restart_manager;

std::unique_ptr<restart_manager_session> restart_manager_session::create(rm::restart_manager_calls& calls)
{
    std::unique_ptr<restart_manager_session> s(new restart_manager_session(calls));
    if (calls.start_session(&s->handle_, s->key_) != ERROR_SUCCESS)
        return nullptr;
    s->open_ = true;
    return s;
}

restart_manager_session::~restart_manager_session()
{
    end();
}

void restart_manager_session::end()
{
    if (open_)
        calls_.end_session(handle_);
    open_ = false;
}

bool restart_manager_session::shutdown(const package* pkg, HWND owner, const std::vector<std::wstring>& files,
                                       const files_in_use_prompt& prompt)
{
    if (!open_ || calls_.register_files(handle_, files) != ERROR_SUCCESS)
        return false;
    UINT needed = 0, count = 0;
    DWORD reasons = 0;
    // Only "more data" means that some application holds a file: nothing to shut down is a failure.
    if (calls_.get_list(handle_, &needed, &count, nullptr, &reasons) != ERROR_MORE_DATA)
        return false;
    processes_.assign(needed, RM_PROCESS_INFO{});
    count = needed;
    if (calls_.get_list(handle_, &needed, &count, processes_.data(), &reasons) != ERROR_SUCCESS
        || reasons != RmRebootReasonNone)
        return false;
    processes_.resize(count);
    if (pkg && !pkg->options().yes && prompt) {
        const int answer = prompt(owner, processes_);
        if (answer == files_in_use_retry) {
            end();
            return true;
        }
        if (answer != files_in_use_close_and_retry)
            return false;
    }
    calls_.shutdown(handle_, RmForceShutdown); // what is still running shows in the retry
    return true;
}

void restart_manager_session::restart()
{
    if (!open_)
        return;
    // The restarted applications must not believe they are the installer's working copy.
    std::optional<std::wstring> saved[std::size(rm::launcher_markers)];
    for (std::size_t i = 0; i < std::size(rm::launcher_markers); ++i) {
        const wchar_t* name = rm::launcher_markers[i];
        DWORD n = GetEnvironmentVariableW(name, nullptr, 0);
        if (n > 0) {
            std::wstring value(n, L'\0');
            n = GetEnvironmentVariableW(name, value.data(), n);
            value.resize(n);
            saved[i] = std::move(value);
        } else if (GetLastError() != ERROR_ENVVAR_NOT_FOUND) {
            saved[i] = std::wstring{};
        }
        SetEnvironmentVariableW(name, nullptr);
    }
    calls_.restart(handle_); // a failed restart leaves the applications closed; nothing to undo
    for (std::size_t i = 0; i < std::size(rm::launcher_markers); ++i)
        if (saved[i])
            SetEnvironmentVariableW(rm::launcher_markers[i], saved[i]->c_str());
}

} // namespace tolvane
