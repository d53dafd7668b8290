// The installer's user interface: calls per second through ui_proxy against the same calls on a
// bare lurran connection, updates drained per second by the window's UI thread with the peak of
// posts waiting for it during a 2,000-file run, the window's time to its first paint and the
// page's layout timed alone.
// Needs a display (the window is real).
#include "harness.h"

#include "window_host.h"

#include <lurran/connection.h>
#include <lurran/pipe_transport.h>
#include <ostrel/windows/async_context.h>
#include <tavik/future.h>
#include <tolvane/ui/ui_link.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>

namespace tolvane {

struct main_dialog_probe {
    static void layout_page(main_dialog& d) { d.layout_page(d.can_proceed_ != 0); }
};

} // namespace tolvane

namespace {

using tavik::details::future;

// Answers at once: the bench measures the link, not the window.
class null_ui final : public tolvane::SetupUiInterface {
public:
    void set_progress_range(std::uint32_t) override {}
    bool set_progress(std::uint32_t) override { return true; }
    void set_status(const std::wstring&) override {}
    void enable_cancel(bool) override {}
    void set_status(std::wstring&&) override {}
    std::uint64_t get_window() override { return 0; }
    std::vector<tolvane::feature_selection> get_feature_selection() override { return {}; }
    bool add_locked_file(const std::wstring&) override { return true; }
    bool shutdown_applications() override { return false; }
    void restart_applications() override {}
};

struct bare_service {
    using progress = lurran::method<0x9269F13F, bool(std::uint32_t)>;
    using methods = lurran::method_list<progress>;
};
using transport = lurran::details::pipe::pipe_transport;
using bare_served = lurran::details::connection<transport, lurran::server_of<bare_service>, lurran::client_of<lurran::no_interface>>;
using bare_calling = lurran::details::connection<transport, lurran::server_of<lurran::no_interface>, lurran::client_of<bare_service>>;

constexpr int calls = 20000;

double bare_calls_per_second()
{
    const std::wstring name = L"tolvane-ui-bench-bare-" + std::to_wstring(GetCurrentProcessId());
    tavik::details::cancellation_source source;
    lurran::transports::pipe::create_server_params<> p;
    p.reserved_size = p.out_buffer_size = p.in_buffer_size = 0x1000000;
    p.reserved_flag_b = 1;
    auto accepting = lurran::transports::pipe::create_server(name, source, p);
    bare_calling client;
    client.start(lurran::transports::pipe::connect_pipe(L".", name, std::chrono::seconds(5), 3));
    bare_served server;
    server.handler<bare_service::progress>().assign([](std::uint32_t) -> future<bool> { co_return true; });
    server.start(tavik::details::wait_blocking_result(std::move(accepting)));
    const double s = bench::median_seconds(3, [&] {
        for (int i = 0; i < calls; ++i)
            tavik::details::wait_blocking_result(client.proxy<bare_service::progress>()(i));
    });
    return calls / s;
}

double proxy_calls_per_second()
{
    null_ui ui;
    auto started = tolvane::start_ui_server(ui, {});
    started.server->serve_process(GetCurrentProcessId());
    tolvane::ui_proxy proxy(started.pipe_name);
    const double s = bench::median_seconds(3, [&] {
        for (int i = 0; i < calls; ++i)
            proxy.set_progress(static_cast<std::uint32_t>(i));
    });
    return calls / s;
}

} // namespace

int main()
{
    const double bare = bare_calls_per_second();
    const double proxy = proxy_calls_per_second();
    bench::report("lurran_calls_per_second", bare, "calls/s");
    bench::report("ui_proxy_calls_per_second", proxy, "calls/s");
    bench::report("ui_proxy_against_lurran", proxy / bare, "x");

    CoInitialize(nullptr);
    {
        const auto start = std::chrono::steady_clock::now();
        ui_tests::window_host host;
        host.start(tolvane::install_type_install);
        // The first paint has happened once a message posted after the show has been handled.
        host.on_ui([](tolvane::main_dialog& d) {
            UpdateWindow(d.window());
            return 0;
        });
        bench::report("window_first_paint_ms",
                      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count(), "ms");

        // The page laid out again on its own: text, check boxes, progress bar, buttons, window height.
        const double layout_ms = host.on_ui([](tolvane::main_dialog& d) {
            return 1000.0 * bench::median_seconds(15, [&] { tolvane::main_dialog_probe::layout_page(d); });
        });
        bench::report("window_layout_page_ms", layout_ms, "ms");

        PostMessageW(host.window, WM_COMMAND, IDOK, 0);
        ui_tests::wait_until([&] { return host.run.ui.load() != nullptr; });
        tolvane::SetupUiInterface& ui = host.ui();
        // A 2,000-file run as the engine reports it: a status and a position per file.
        constexpr int files = 2000;
        std::size_t peak = 0;
        const auto drain_start = std::chrono::steady_clock::now();
        ui.set_progress_range(files);
        for (int i = 0; i < files; ++i) {
            ui.set_status(std::wstring(L"Copy file C:\\Program Files\\Product\\file") + std::to_wstring(i) + L".dll");
            ui.set_progress(static_cast<std::uint32_t>(i + 1));
            peak = std::max(peak, Ostrel::windows::impl::details::pending_ui_returns());
        }
        host.on_ui([](tolvane::main_dialog&) { return 0; });
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - drain_start).count();
        bench::report("window_updates_drained_per_second", (2.0 * files + 1) / seconds, "updates/s");
        bench::report("window_peak_backlog_2000_files", static_cast<double>(peak), "posts");
        host.run.succeed();
        ui_tests::wait_until([&] { return GetDlgItem(host.window, 1035) != nullptr; });
        PostMessageW(host.window, WM_COMMAND, 1035, 0);
        host.ended();
    }
    CoUninitialize();
    return 0;
}
