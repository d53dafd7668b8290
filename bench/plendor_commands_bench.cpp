// The configuration utility's commands: progress reports flooding the progress dialog, the result
// dialog's opening, and the update check and download against a local HTTP server. Needs a
// display (the dialogs are real).
#include "harness.h"

#include <plendor/commands/progress_dlg.h>
#include <plendor/commands/result_dlg.h>
#include <plendor/commands/update.h>

#include <platform/http/http.h>
#include <test_http_server.h>

#include <ostrel/scope_guards.h>
#include <ostrel/windows/async_context.h>
#include <tavik/future.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace {

using clock_type = std::chrono::steady_clock;

void pump_until(const std::function<bool()>& done)
{
    while (!done()) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
    }
}

HWND make_owner()
{
    WNDCLASSW c{};
    c.lpfnWndProc = &DefWindowProcW;
    c.hInstance = GetModuleHandleW(nullptr);
    c.lpszClassName = L"plendor-bench-owner";
    RegisterClassW(&c);
    return CreateWindowW(L"plendor-bench-owner", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 600, 400, nullptr,
                         nullptr, c.hInstance, nullptr);
}

void progress_flood(HWND owner)
{
    constexpr std::uint64_t count = 100'000;
    auto dialog = make_progress_dlg(owner, L"Bench");
    std::atomic<bool> sent{false};
    clock_type::time_point start, last_sent;
    std::atomic<long long> worst_answer_us{0};
    std::thread reporter([&] {
        start = clock_type::now();
        for (std::uint64_t i = 1; i <= count; ++i)
            dialog->set_progress(i, count);
        last_sent = clock_type::now();
        sent = true;
    });
    // A second thread asks the window to answer throughout.
    std::atomic<bool> stop_probe{false};
    std::thread probe([&] {
        while (!stop_probe) {
            const auto t = clock_type::now();
            DWORD_PTR r = 0;
            SendMessageTimeoutW(dialog->window(), WM_NULL, 0, 0, SMTO_NORMAL, 5000, &r);
            const long long us = std::chrono::duration_cast<std::chrono::microseconds>(clock_type::now() - t).count();
            long long seen = worst_answer_us.load();
            while (us > seen && !worst_answer_us.compare_exchange_weak(seen, us)) {
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    pump_until([&] { return sent.load() && dialog->done() == count; });
    const auto applied = clock_type::now();
    stop_probe = true;
    reporter.join();
    probe.join();
    const double seconds = std::chrono::duration<double>(last_sent - start).count();
    bench::report("progress_reports_per_second", static_cast<double>(count) / seconds, "messages/s");
    bench::report("progress_lag_after_last", std::chrono::duration<double, std::milli>(applied - last_sent).count(), "ms");
    bench::report("progress_ui_returns_posted", static_cast<double>(dialog->posted_returns()), "messages");
    bench::report("progress_worst_window_answer", static_cast<double>(worst_answer_us.load()) / 1000.0, "ms");
    dialog.reset();
}

// From the call to a visible dialog; the closing is left out (under Wine it waits on the X server).
void result_dialog_open(HWND owner)
{
    std::vector<double> opens;
    for (int run = 0; run < 5; ++run) {
        clock_type::time_point opened;
        std::thread driver([&] {
            for (;;) {
                HWND w = FindWindowW(L"#32770", L"Bench result");
                if (w && IsWindowVisible(w)) {
                    opened = clock_type::now();
                    PostMessageW(w, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
                    return;
                }
                std::this_thread::sleep_for(std::chrono::microseconds(200));
            }
        });
        const auto start = clock_type::now();
        show_result_dialog(owner, L"Bench result", L"[[[bOptimize]]] result\nline 2\nline 3");
        driver.join();
        opens.push_back(std::chrono::duration<double, std::milli>(opened - start).count());
    }
    std::sort(opens.begin(), opens.end());
    bench::report("result_dialog_open", opens[opens.size() / 2], "ms");
}

void update_check_and_download()
{
    http_test::server server;
    server.set("/dispatch/dedup/checkforupdates", {http_test::route::answer, 200, R"({"Version":1})"});
    const std::string body(10 * 1024 * 1024, 'b');
    server.set("/setup", {http_test::route::answer, 200, body});
    const std::wstring address = make_update_query_address(server.base(), {1, 3, 0, 177});
    const double check = bench::median_seconds(9, [&] {
        auto f = check_for_updates(address, tavik::details::cancellation_source());
        tavik::details::wait_blocking(f);
    });
    bench::report("update_check", check * 1000.0, "ms");
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring path = std::wstring(temp) + L"plendor-bench-download";
    const double download = bench::median_seconds(5, [&] {
        auto f = platform::http::download_to_file(server.base() + L"setup", path, tavik::details::cancellation_source());
        tavik::details::wait_blocking(f);
    });
    DeleteFileW(path.c_str());
    bench::report("update_download_10MiB", 10.0 / download, "MB/s");
}

} // namespace

int main()
{
    auto hook = Ostrel::windows::impl::install_ui_return_hook();
    HWND owner = make_owner();
    progress_flood(owner);
    result_dialog_open(owner);
    update_check_and_download();
    DestroyWindow(owner);
    return 0;
}
