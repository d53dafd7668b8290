// The installer's user interface: calls per second through ui_proxy against the same calls on a
// bare lurran connection, updates drained per second by the window's UI thread with the peak of
// posts waiting for it during a 2,000-file run, the window's time to its first paint and the
// page's layout timed alone; and a per-machine install of 2,000 files through the installer's test
// host, once in the elevated copy that drives the window over the pipe and once in the window's own
// process, with the elevated run's throughput against the in-process one.
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
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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

// --- A per-machine install of 2,000 files through the test host ------------------------------

constexpr int package_files = 2000;
constexpr wchar_t source_id[] = L"{5A1D0C3E-7B2F-4E51-9C3A-2B6D8E4F1A08}";
constexpr wchar_t main_feature[] = L"{7D0A0C3E-0000-4E51-9C3A-2B6D8E4F1A08}";
constexpr wchar_t uninstall_base[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::filesystem::path bin_folder()
{
    wchar_t exe[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    return std::filesystem::path(std::wstring(exe, n)).parent_path();
}

std::string read_text(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The package's configuration: one component naming each of the archive's 2,000 files, installed
// into `install_folder` and registered under `app_id`.
void write_config(const std::filesystem::path& package, const std::wstring& app_id, const std::wstring& install_folder)
{
    std::wstring ini = L"[Configuration]\r\nSourceID=" + std::wstring(source_id) +
                       L"\r\nMAJOR=1\r\nMINOR=2\r\nREVISION=3\r\nBUILD=4\r\nAppID=" + app_id +
                       L"\r\nLongName=Tolvane UI Bench\r\nProductName=Tolvane UI Bench\r\nShortCompany=Quvan\r\n"
                       L"INSTALLDIR_USER=" + install_folder + L"\\\r\nINSTALLDIR_MACHINE=" + install_folder + L"\\\r\n"
                       L"[General]\r\ncomponents=core\r\n[Component_core]\r\nversion=1.2.3.4\r\n";
    for (int i = 1; i <= package_files; ++i)
        ini += L"f" + std::to_wstring(i) + L"=f" + std::to_wstring(i) + L".txt*0\r\n";
    ini += L"[Feature_root]\r\ncomponents=core\r\nchildren=main\r\n[Feature_main]\r\nid=" + std::wstring(main_feature) +
           L"\r\nselected=1\r\n";
    std::ofstream out(package / L"config.ini", std::ios::binary | std::ios::trunc);
    out.write("\xFF\xFE", 2);
    out.write(reinterpret_cast<const char*>(ini.data()), static_cast<std::streamsize>(ini.size() * sizeof(wchar_t)));
}

std::wstring host_environment(const std::filesystem::path& temp, const std::filesystem::path& package,
                              const std::filesystem::path& log, bool admin)
{
    std::wstring block;
    wchar_t* env = GetEnvironmentStringsW();
    for (const wchar_t* p = env; *p; p += wcslen(p) + 1) {
        std::wstring_view e(p);
        if (e.starts_with(L"TEMP=") || e.starts_with(L"TMP=") || e.starts_with(L"QUVAN-RAVELWIN3-") ||
            e.starts_with(L"TOLVANE_UI_HOST_"))
            continue;
        block += e;
        block += L'\0';
    }
    FreeEnvironmentStringsW(env);
    std::vector<std::wstring> pairs{L"TEMP=" + temp.wstring(), L"TMP=" + temp.wstring(), L"QUVAN-RAVELWIN3-ISCOPY=YES",
                                    L"QUVAN-RAVELWIN3-ARCHIVE_DIR=" + package.wstring(),
                                    L"TOLVANE_UI_HOST_LOG=" + log.wstring()};
    if (admin)
        pairs.push_back(L"TOLVANE_UI_HOST_ADMIN=1");
    for (const std::wstring& pair : pairs) {
        block += pair;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

struct install_result {
    double seconds = 0;
    std::string failure; // empty when the install completed with every file in place
};

// One per-machine install by the host, from the click on Install to the completion page. With
// `elevated` the host plays a standard user and the install runs in the copy it starts with
// "--server"; otherwise it plays an administrator and installs in the window's process. The
// folder, the log and the uninstall entry are removed afterwards, untimed.
install_result install_once(const std::filesystem::path& root, const std::filesystem::path& package, int run,
                            bool elevated)
{
    install_result result;
    const std::filesystem::path dir = root / (L"run" + std::to_wstring(run)), temp = dir / L"temp",
                                app = dir / L"app", log = dir / L"host.log";
    std::filesystem::create_directories(temp);
    const std::wstring app_id = L"TolvaneUiBench-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(run);
    write_config(package, app_id, app.wstring());

    std::wstring line = L"\"" + (bin_folder() / L"tolvane_ui_host.exe").wstring() + L"\" --allow-parallel -machine";
    std::wstring env = host_environment(temp, package, log, !elevated);
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(), nullptr,
                        &si, &process)) {
        result.failure = "the host did not start (" + std::to_string(GetLastError()) + ")";
        return result;
    }
    HWND window = nullptr;
    if (!ui_tests::wait_until([&] {
            return (window = ui_tests::process_window_ending(process.dwProcessId, L"Setup Package")) != nullptr;
        }, 60000)) {
        result.failure = "the host's window did not show";
    } else {
        const auto start = std::chrono::steady_clock::now();
        PostMessageW(window, WM_COMMAND, IDOK, 0);
        // The completion page is there when its Close button is.
        if (!ui_tests::wait_until([&] { return GetDlgItem(window, 1035) != nullptr; }, 120000))
            result.failure = "no completion page";
        result.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (result.failure.empty()) {
            // Each of the package's files, besides what the installer adds of its own.
            int count = 0;
            std::error_code ignored;
            for (int i = 1; i <= package_files; ++i)
                count += std::filesystem::is_regular_file(app / (L"f" + std::to_wstring(i) + L".txt"), ignored);
            if (count != package_files)
                result.failure = std::to_string(count) + " of the files installed";
            const std::string host_log = read_text(log);
            if (elevated && host_log.find("exit 0 copy") == std::string::npos)
                result.failure += " the copy did not end with 0: " + host_log;
            if (!elevated && host_log.find(" copy") != std::string::npos)
                result.failure += " a copy ran: " + host_log;
            SendMessageW(GetDlgItem(window, 1026), BM_SETCHECK, BST_UNCHECKED, 0);
            SendMessageW(GetDlgItem(window, 1027), BM_SETCHECK, BST_UNCHECKED, 0);
            PostMessageW(window, WM_COMMAND, 1035, 0);
        }
    }
    if (WaitForSingleObject(process.hProcess, 30000) != WAIT_OBJECT_0) {
        TerminateProcess(process.hProcess, 99);
        WaitForSingleObject(process.hProcess, 5000);
        if (result.failure.empty())
            result.failure = "the host did not end";
    }
    CloseHandle(process.hProcess);
    CloseHandle(process.hThread);
    for (HKEY r : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
        RegDeleteTreeW(r, (uninstall_base + app_id).c_str());
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}

// One install each way, so that the whole bench stays within about two minutes. The package folder
// is what the host's working copy installs from: the icon, setup.exe, and the archive of 2,000
// small files under the source's id. False when a run failed (reported on stderr).
bool bench_per_machine_install()
{
    const std::filesystem::path made = bin_folder() / L"tolvane_bench_package";
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    const std::filesystem::path root =
        std::filesystem::path(std::wstring(temp, n)) / (L"tolvane_ui_bench" + std::to_wstring(GetCurrentProcessId()));
    const std::filesystem::path package = root / L"pkg";
    std::filesystem::create_directories(package);
    std::error_code error;
    for (const wchar_t* name : {L"icon.png", L"setup.exe"})
        std::filesystem::copy_file(made / name, package / name, error);
    if (!error)
        std::filesystem::copy_file(made / L"many.7z", package / (std::wstring(source_id) + L".7z"), error);
    if (error) {
        std::fprintf(stderr, "the bench package is missing in %ls\n", made.c_str());
        return false;
    }
    install_result in_process;
    const install_result elevated = install_once(root, package, 0, true);
    if (elevated.failure.empty())
        in_process = install_once(root, package, 1, false);
    std::filesystem::remove_all(root, error);
    for (const auto& [way, failure] : {std::pair{"elevated", elevated.failure}, std::pair{"in-process", in_process.failure}})
        if (!failure.empty()) {
            std::fprintf(stderr, "%s install: %s\n", way, failure.c_str());
            return false;
        }
    bench::report("install_2000_files_in_process_seconds", in_process.seconds, "s");
    bench::report("install_2000_files_elevated_seconds", elevated.seconds, "s");
    // Throughput is files per second, so elevated against in-process is the inverse ratio of the times.
    bench::report("install_2000_files_elevated_against_in_process", in_process.seconds / elevated.seconds, "x");
    return true;
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
    return bench_per_machine_install() ? 0 : 1;
}
