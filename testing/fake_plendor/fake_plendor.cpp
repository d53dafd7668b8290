// A stand-in for the configuration utility in tests: it appends its own command line, one line,
// to the file named by QUASTLE_TEST_LOG (inherited from the test), and exits.
#include <windows.h>

#include <string>

int wmain()
{
    std::wstring log(32768, L'\0');
    const DWORD length = GetEnvironmentVariableW(L"QUASTLE_TEST_LOG", log.data(), static_cast<DWORD>(log.size()));
    if (length == 0 || length >= log.size())
        return 2;
    log.resize(length);
    // Several utilities may start at once: a moment's sharing conflict is waited out.
    HANDLE file = INVALID_HANDLE_VALUE;
    for (int attempt = 0; attempt < 200 && file == INVALID_HANDLE_VALUE; ++attempt) {
        file = CreateFileW(log.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            Sleep(10);
    }
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    std::wstring line = GetCommandLineW();
    line += L"\n";
    DWORD written = 0;
    WriteFile(file, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return 0;
}
