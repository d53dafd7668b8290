#include <tolvane/setup_platform.h>

namespace tolvane {

int setup_platform::message_box(HWND owner, const std::wstring& text, const std::wstring& caption, UINT flags)
{
    return MessageBoxW(owner, text.c_str(), caption.c_str(), flags);
}

BOOL setup_platform::set_restore_point(const restore_point_info& info, restore_point_status& status)
{
    using set_restore_point_w = BOOL(WINAPI*)(const restore_point_info*, restore_point_status*);
    wchar_t system[MAX_PATH];
    const UINT n = GetSystemDirectoryW(system, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return FALSE;
    const std::wstring path = std::wstring(system, n) + L"\\srclient.dll";
    HMODULE module = LoadLibraryExW(path.c_str(), nullptr, 0);
    if (!module)
        return FALSE;
    auto call = reinterpret_cast<set_restore_point_w>(reinterpret_cast<void*>(GetProcAddress(module, "SRSetRestorePointW")));
    BOOL ok = FALSE;
    if (call)
        ok = call(&info, &status);
    else
        SetLastError(ERROR_PROC_NOT_FOUND);
    const DWORD error = GetLastError();
    FreeLibrary(module);
    SetLastError(error);
    return ok;
}

bool setup_platform::is_user_an_admin()
{
    using is_user_an_admin_fn = BOOL(WINAPI*)();
    HMODULE shell = LoadLibraryW(L"shell32.dll");
    if (!shell)
        return false;
    auto call = reinterpret_cast<is_user_an_admin_fn>(reinterpret_cast<void*>(GetProcAddress(shell, "IsUserAnAdmin")));
    const bool admin = call && call();
    FreeLibrary(shell);
    return admin;
}

BOOL setup_platform::exit_windows(UINT flags, DWORD reason)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_ADJUST_PRIVILEGES | TOKEN_QUERY, &token))
        return FALSE;
    TOKEN_PRIVILEGES p{};
    p.PrivilegeCount = 1;
    p.Privileges[0].Attributes = SE_PRIVILEGE_ENABLED;
    LookupPrivilegeValueW(nullptr, L"SeShutdownPrivilege", &p.Privileges[0].Luid);
    AdjustTokenPrivileges(token, FALSE, &p, 0, nullptr, nullptr);
    // AdjustTokenPrivileges succeeds also when it could not enable the privilege; the last error says.
    const DWORD granted = GetLastError();
    CloseHandle(token);
    if (granted != ERROR_SUCCESS)
        return FALSE;
    return ExitWindowsEx(flags, reason);
}

setup_platform& system_platform()
{
    static setup_platform platform;
    return platform;
}

} // namespace tolvane
