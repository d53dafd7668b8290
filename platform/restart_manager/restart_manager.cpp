#include <platform/restart_manager/restart_manager.h>

#include <algorithm>
#include <cwchar>

namespace platform::restart_manager {

namespace {

class system_calls final : public restart_manager_calls {
public:
    DWORD start_session(DWORD* session, wchar_t* key) override { return RmStartSession(session, 0, key); }
    DWORD end_session(DWORD session) override { return RmEndSession(session); }
    DWORD register_files(DWORD session, const std::vector<std::wstring>& files) override
    {
        std::vector<LPCWSTR> names;
        for (const auto& f : files)
            names.push_back(f.c_str());
        return RmRegisterResources(session, static_cast<UINT>(names.size()), names.data(), 0, nullptr, 0, nullptr);
    }
    DWORD get_list(DWORD session, UINT* needed, UINT* count, RM_PROCESS_INFO* processes, DWORD* reasons) override
    {
        return RmGetList(session, needed, count, processes, reasons);
    }
    DWORD shutdown(DWORD session, ULONG flags) override { return RmShutdown(session, flags, nullptr); }
    DWORD restart(DWORD session) override { return RmRestart(session, 0, nullptr); }
};

std::wstring environment_value(const wchar_t* name)
{
    wchar_t buffer[1024];
    DWORD n = GetEnvironmentVariableW(name, buffer, 1024);
    return n == 0 || n >= 1024 ? std::wstring{} : std::wstring(buffer, n);
}

} // namespace

restart_manager_calls& system_restart_manager()
{
    static system_calls calls;
    return calls;
}

DWORD fake_restart_manager::start_session(DWORD* session, wchar_t* key)
{
    if (fail_start)
        return fail_start;
    ++sessions_started;
    open_ = true;
    registered.clear();
    *session = static_cast<DWORD>(sessions_started);
    std::swprintf(key, CCH_RM_SESSION_KEY + 1, L"%032d", sessions_started);
    return ERROR_SUCCESS;
}

DWORD fake_restart_manager::end_session(DWORD)
{
    ++sessions_ended;
    open_ = false;
    return ERROR_SUCCESS;
}

DWORD fake_restart_manager::register_files(DWORD, const std::vector<std::wstring>& files)
{
    registered.insert(registered.end(), files.begin(), files.end());
    return ERROR_SUCCESS;
}

std::vector<fake_restart_manager::holder> fake_restart_manager::listed() const
{
    std::vector<holder> out;
    for (const auto& file : registered) {
        auto it = holders.find(file);
        if (it == holders.end())
            continue;
        for (const auto& h : it->second)
            if (std::none_of(out.begin(), out.end(), [&](const holder& o) { return o.pid == h.pid; }))
                out.push_back(h);
    }
    return out;
}

DWORD fake_restart_manager::get_list(DWORD, UINT* needed, UINT* count, RM_PROCESS_INFO* processes, DWORD* reasons)
{
    const auto list = listed();
    *needed = static_cast<UINT>(list.size());
    *reasons = reboot_reasons;
    if (*count < list.size() || !processes) {
        *count = 0;
        return list.empty() ? ERROR_SUCCESS : ERROR_MORE_DATA;
    }
    for (std::size_t i = 0; i < list.size(); ++i) {
        processes[i] = RM_PROCESS_INFO{};
        processes[i].Process.dwProcessId = list[i].pid;
        std::wcsncpy(processes[i].strAppName, list[i].name.c_str(), CCH_RM_MAX_APP_NAME);
        processes[i].ApplicationType = RmMainWindow;
        processes[i].bRestartable = TRUE;
    }
    *count = static_cast<UINT>(list.size());
    return ERROR_SUCCESS;
}

DWORD fake_restart_manager::shutdown(DWORD, ULONG)
{
    for (const auto& h : listed())
        shut_down.push_back(h.pid);
    return ERROR_SUCCESS;
}

DWORD fake_restart_manager::restart(DWORD)
{
    std::map<std::wstring, std::wstring> environment;
    for (const wchar_t* name : launcher_markers)
        environment[name] = environment_value(name);
    restart_environments.push_back(std::move(environment));
    restarted = shut_down;
    return ERROR_SUCCESS;
}

} // namespace platform::restart_manager
