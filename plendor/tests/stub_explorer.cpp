// Stands in for explorer.exe beside the test program: appends its command line, one line, to the
// file named by PLENDOR_TEST_EXPLORER_LOG, and exits.
#include <windows.h>

#include <string>

int wmain()
{
    std::wstring log(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"PLENDOR_TEST_EXPLORER_LOG", log.data(), DWORD(log.size()));
    if (length == 0 || length >= log.size())
        return 2;
    log.resize(length);
    HANDLE file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    std::wstring line = std::wstring(GetCommandLineW()) + L"\n";
    DWORD written = 0;
    WriteFile(file, line.data(), DWORD(line.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return 0;
}
