// A stand-in for the folder deduplication service in tests, never shipped.
//
// Under the Service Control Manager: an own-process service "quvandedup" that starts, appends its
// own program path to "ebrisk.log" beside it, and stops on STOP. A file "ebrisk.knob" beside it
// slows the stop: a number of milliseconds, or "never", which holds the stop for as long as the
// file says so (a test ends it by removing the file).
//
// As a plain process, "ebrisk.exe --serve <state folder> [--dedup <dedup.exe>] [--pipe <name>]":
// serves the service's pipe (see service_pipe.cpp).
#include "service_pipe.h"

#include <windows.h>

#include <cstdlib>
#include <string>

namespace {

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_requested = nullptr;

void report(DWORD state)
{
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    status.dwWaitHint = 1000;
    SetServiceStatus(status_handle, &status);
}

std::wstring own_path()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size())));
    return path;
}

std::wstring beside(const std::wstring& name)
{
    const std::wstring path = own_path();
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

// Milliseconds to wait before stopping; INFINITE for "never".
DWORD stop_delay()
{
    const HANDLE file = CreateFileW(beside(L"ebrisk.knob").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    char text[32] = {};
    DWORD read = 0;
    ReadFile(file, text, sizeof(text) - 1, &read, nullptr);
    CloseHandle(file);
    if (std::string(text).starts_with("never"))
        return INFINITE;
    return static_cast<DWORD>(std::strtoul(text, nullptr, 10));
}

DWORD WINAPI handler(DWORD control, DWORD, void*, void*)
{
    if (control == SERVICE_CONTROL_STOP) {
        report(SERVICE_STOP_PENDING);
        SetEvent(stop_requested);
    }
    return NO_ERROR;
}

void WINAPI service_main(DWORD, wchar_t**)
{
    status_handle = RegisterServiceCtrlHandlerExW(L"quvandedup", handler, nullptr);
    stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    report(SERVICE_RUNNING);
    const HANDLE log = CreateFileW(beside(L"ebrisk.log").c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                   nullptr, OPEN_ALWAYS, 0, nullptr);
    if (log != INVALID_HANDLE_VALUE) {
        const std::wstring line = own_path() + L"\n";
        DWORD written = 0;
        WriteFile(log, line.data(), static_cast<DWORD>(line.size() * sizeof(wchar_t)), &written, nullptr);
        CloseHandle(log);
    }
    WaitForSingleObject(stop_requested, INFINITE);
    DWORD delay;
    while ((delay = stop_delay()) == INFINITE)
        Sleep(100);
    Sleep(delay);
    report(SERVICE_STOPPED);
}

} // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc >= 3 && std::wstring(argv[1]) == L"--serve")
        return ebrisk::serve(argc, argv);
    wchar_t name[] = L"quvandedup";
    const SERVICE_TABLE_ENTRYW table[] = {{name, service_main}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
