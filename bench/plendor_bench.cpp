// Configuration utility figures, against the service stand-in (ebrisk.exe beside this program, run
// with a state folder of its own) and the utility plendor\plendor.exe below it. Needs a display.
//   refresh_1000_ms       Refresh pressed to the list of 1,000 folders filled and the commands back
//   fill_1000_ms          the list box refill alone, on the UI thread
//   second_start_ms       a second plendor.exe started to its verb run by the first instance
//                         (the forward, the first instance's refresh of one folder, the dispatch)
//   start_to_filled_ms    plendor.exe started to its list holding 1,000 folders
#include "harness.h"

#include <plendor/main_dlg.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using clock_type = std::chrono::steady_clock;

std::wstring program_folder()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

HANDLE start(const std::wstring& command)
{
    std::wstring line = command;
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi))
        return nullptr;
    CloseHandle(pi.hThread);
    return pi.hProcess;
}

void stop(HANDLE process)
{
    if (!process)
        return;
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 10000);
    CloseHandle(process);
}

// A state folder for the stand-in with `count` folders.
std::wstring make_state(int count)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring state = std::wstring(temp) + L"plendor_bench_" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(state.c_str(), nullptr);
    std::wstring text;
    for (int i = 0; i < count; ++i)
        text += L"D:\\Deduplicated\\Projects\\folder number " + std::to_wstring(i) + L"\n";
    HANDLE f = CreateFileW((state + L"\\folders.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(f, text.data(), DWORD(text.size() * 2), &written, nullptr);
    CloseHandle(f);
    DeleteFileW((state + L"\\requests.log").c_str());
    return state;
}

HANDLE start_service(const std::wstring& state)
{
    HANDLE p = start(L"\"" + program_folder() + L"ebrisk.exe\" --serve \"" + state + L"\"");
    for (int i = 0; i < 500 && !WaitNamedPipeW(L"\\\\.\\pipe\\Quvan-dedupapi.service-v1.0", 20); ++i)
        Sleep(10);
    return p;
}

template <class F>
bool wait_until(F condition, int milliseconds = 30000)
{
    const auto end = clock_type::now() + std::chrono::milliseconds(milliseconds);
    while (!condition()) {
        if (clock_type::now() > end)
            return false;
        Sleep(0);
    }
    return true;
}

double ms_since(clock_type::time_point start)
{
    return std::chrono::duration<double, std::milli>(clock_type::now() - start).count();
}

HWND utility_window(DWORD process_id)
{
    struct search {
        DWORD pid;
        HWND found;
    } s{process_id, nullptr};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto* s = reinterpret_cast<search*>(p);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            wchar_t title[64] = {};
            GetWindowTextW(w, title, 64);
            if (pid == s->pid && std::wstring(title) == L"Quvan Software Tovalind") {
                s->found = w;
                return FALSE;
            }
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

} // namespace

int main()
{
    constexpr int runs = 5;
    const std::wstring state = make_state(1000);
    HANDLE service = start_service(state);

    // In-process window: refresh and fill.
    std::atomic<HWND> window{nullptr};
    std::atomic<double> fill_ms{0};
    std::atomic<clock_type::rep> verb_at{0};
    std::thread ui([&] {
        main_dlg_hooks hooks;
        hooks.message_box = [](HWND, const wchar_t*, const wchar_t*, UINT) { return IDOK; };
        hooks.optimize_folder = [&](main_dlg&, const std::wstring&) {
            verb_at.store(clock_type::now().time_since_epoch().count());
        };
        main_dlg dialog(L"plendor.exe", std::move(hooks));
        dialog.install([&](Ostrel::windows::impl::message_record& m) {
            if (!window.load())
                window.store(m.window);
            if (m.message != WM_APP + 1)
                return false;
            const auto start = clock_type::now();
            dialog.fill_folder_list();
            fill_ms.store(ms_since(start));
            return true;
        });
        Ostrel::windows::impl::run_main_dialog(dialog, SW_SHOWNORMAL);
    });
    wait_until([&] { return window.load() && IsWindowEnabled(GetDlgItem(window.load(), IDCANCEL)) &&
                            SendDlgItemMessageW(window.load(), main_ids::list, LB_GETCOUNT, 0, 0) == 1000; });
    HWND w = window.load();
    const double refresh = bench::median_seconds(runs, [&] {
        SendMessageW(w, WM_COMMAND, MAKEWPARAM(main_ids::refresh, BN_CLICKED), 0);
        wait_until([&] { return IsWindowEnabled(GetDlgItem(w, IDCANCEL)) != FALSE; });
    });
    bench::report("refresh_1000_ms", refresh * 1000, "ms");
    std::vector<double> fills;
    for (int i = 0; i < runs; ++i) {
        SendMessageW(w, WM_APP + 1, 0, 0);
        fills.push_back(fill_ms.load());
    }
    std::sort(fills.begin(), fills.end());
    bench::report("fill_1000_ms", fills[fills.size() / 2], "ms");

    // A second start against the in-process first instance.
    const std::wstring plendor = L"\"" + program_folder() + L"plendor\\plendor.exe\"";
    std::vector<double> seconds;
    for (int i = 0; i < runs; ++i) {
        verb_at.store(0);
        const auto started = clock_type::now();
        HANDLE p = start(plendor + L" --optimize C:\\bench");
        wait_until([&] { return verb_at.load() != 0; });
        seconds.push_back(std::chrono::duration<double, std::milli>(
                              clock_type::time_point(clock_type::duration(verb_at.load())) - started)
                              .count());
        WaitForSingleObject(p, 10000);
        CloseHandle(p);
    }
    std::sort(seconds.begin(), seconds.end());
    bench::report("second_start_ms", seconds[seconds.size() / 2], "ms");
    PostMessageW(w, WM_CLOSE, 0, 0);
    ui.join();

    // The program from its start to a filled list.
    std::vector<double> starts;
    for (int i = 0; i < runs; ++i) {
        const auto started = clock_type::now();
        HANDLE p = start(plendor);
        const DWORD pid = GetProcessId(p);
        HWND found = nullptr;
        wait_until([&] {
            found = utility_window(pid);
            return found && SendMessageW(GetDlgItem(found, main_ids::list), LB_GETCOUNT, 0, 0) == 1000;
        });
        starts.push_back(ms_since(started));
        if (found)
            PostMessageW(found, WM_CLOSE, 0, 0);
        WaitForSingleObject(p, 10000);
        CloseHandle(p);
    }
    std::sort(starts.begin(), starts.end());
    bench::report("start_to_filled_ms", starts[starts.size() / 2], "ms");
    stop(service);
    DeleteFileW((state + L"\\folders.txt").c_str());
    DeleteFileW((state + L"\\requests.log").c_str());
    DeleteFileW((state + L"\\script.txt").c_str());
    RemoveDirectoryW(state.c_str());
    return 0;
}
