// Stands in for a downloaded installer: writes its command line, its own path and the process id
// behind its "--wait-process" handle into the file named by PLENDOR_STUB_LOG, one per line.
#include <windows.h>

#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    wchar_t log[MAX_PATH];
    if (!GetEnvironmentVariableW(L"PLENDOR_STUB_LOG", log, MAX_PATH))
        return 2;
    std::wstring text = GetCommandLineW();
    text += L"\n";
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    text += self;
    text += L"\n";
    DWORD pid = 0;
    if (argc == 3 && std::wcscmp(argv[1], L"--wait-process") == 0) {
        const auto handle = reinterpret_cast<HANDLE>(static_cast<std::uintptr_t>(_wcstoui64(argv[2], nullptr, 10)));
        pid = GetProcessId(handle);
    }
    text += std::to_wstring(pid);
    text += L"\n";
    const HANDLE file = CreateFileW(log, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 3;
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &written, nullptr);
    CloseHandle(file);
    return 0;
}
