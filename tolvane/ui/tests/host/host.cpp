// The installer program with the test platform: the administrator test answers false, and true
// in a copy started with "--server" (Wine starts "runas" copies without elevation, and reports every
// user as an administrator), and true throughout when TOLVANE_UI_HOST_ADMIN is 1, so that a
// per-machine install runs in the window's process; the end of the session and message boxes are
// written to the file named by TOLVANE_UI_HOST_LOG instead of being carried out. Run as the
// working copy (the test sets the copy's markers), so that it installs from the archive folder the
// test names.

#include <windows.h>
#include <objbase.h>

#include <tolvane/launcher.h>
#include <tolvane/setup_main.h>
#include <tolvane/setup_platform.h>
#include <tolvane/ui/ui_hooks.h>

#include <cstdio>
#include <string>

namespace {

void log_line(const std::wstring& line)
{
    wchar_t path[MAX_PATH];
    if (!GetEnvironmentVariableW(L"TOLVANE_UI_HOST_LOG", path, MAX_PATH))
        return;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    std::string utf8;
    const std::wstring text = line + L"\n";
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    utf8.resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), utf8.data(), n, nullptr, nullptr);
    DWORD written = 0;
    WriteFile(file, utf8.data(), static_cast<DWORD>(utf8.size()), &written, nullptr);
    CloseHandle(file);
}

class host_platform final : public tolvane::setup_platform {
public:
    int message_box(HWND, const std::wstring& text, const std::wstring& caption, UINT) override
    {
        log_line(L"box " + caption + L": " + text);
        return IDOK;
    }
    BOOL set_restore_point(const tolvane::restore_point_info&, tolvane::restore_point_status& status) override
    {
        status = {};
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    bool is_user_an_admin() override
    {
        wchar_t admin[2] = {};
        if (GetEnvironmentVariableW(L"TOLVANE_UI_HOST_ADMIN", admin, 2) == 1 && admin[0] == L'1')
            return true;
        return std::wstring_view(GetCommandLineW()).find(L"--server") != std::wstring_view::npos;
    }
    BOOL exit_windows(UINT flags, DWORD reason) override
    {
        log_line(L"exit_windows " + std::to_wstring(flags) + L" " + std::to_wstring(reason));
        return TRUE;
    }
};

} // namespace

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int show)
{
    host_platform platform;
    tolvane::setup_hooks hooks;
    tolvane::install_ui_hooks(hooks);
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int code = tolvane::setup_main(show, tolvane::get_archive_folder(), hooks, platform);
    log_line(L"exit " + std::to_wstring(code) +
             (std::wstring_view(GetCommandLineW()).find(L"--server") != std::wstring_view::npos ? L" copy" : L" window"));
    if (SUCCEEDED(com))
        CoUninitialize();
    return code;
}
