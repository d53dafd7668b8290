#include <tolvane/setup_main.h>

#include <objbase.h>

#include <quillo/render.h>
#include <tavik/error.h>
#include <tolvane/command_line.h>
#include <tolvane/config_error.h>
#include <tolvane/end_of_setup.h>
#include <tolvane/install_transaction.h>
#include <tolvane/launcher.h>
#include <tolvane/run_installation.h>
#include <tolvane/silent_ui.h>
#include <tolvane/startup.h>

namespace tolvane {

namespace {

tavik::details::future<void> wait_config_ready(package& pkg)
{
    auto ready = pkg.config_ready();
    co_await *ready;
}

bool environment_has(const wchar_t* name)
{
    wchar_t value[1];
    SetLastError(ERROR_SUCCESS);
    return GetEnvironmentVariableW(name, value, 1) != 0 || GetLastError() != ERROR_ENVVAR_NOT_FOUND;
}

// The start-up's failure, when it ended without a usable package.
void log_failure(std::exception_ptr failure)
{
    write_setup_log(setup_log_path(), L"*** Setup failed: " + failure_text(failure) + L"\r\n");
}

// A run the user cancelled (E_ABORT, however the engine carried it).
bool is_abort(std::exception_ptr failure) noexcept
{
    try {
        std::rethrow_exception(failure);
    } catch (const tavik::details::hresult_error& e) {
        return e.code() == E_ABORT;
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code() == E_ABORT;
    } catch (...) {
        return false;
    }
}

} // namespace

std::int32_t exit_code_of(std::exception_ptr failure) noexcept
{
    try {
        std::rethrow_exception(failure);
    } catch (const installation_exception& e) {
        return e.code();
    } catch (const tavik::details::hresult_error& e) {
        return e.code() == 1 ? installation_reboot_required : installation_failed;
    } catch (...) {
        return installation_failed;
    }
}

std::wstring failure_text(std::exception_ptr failure)
{
    try {
        std::rethrow_exception(failure);
    } catch (const config_error& e) {
        return quillo::format(L"{0} ({1ub016x})", e.text(), e.code());
    } catch (const tavik::details::hresult_error_impl& e) {
        return quillo::format(L"{0} ({1ub016x})", e.message(), e.code());
    } catch (const tavik::details::hresult_error& e) {
        return quillo::format(L"{0} ({1ub016x})", tavik::details::hresult_error_impl::message(e.code()), e.code());
    } catch (const installation_exception& e) {
        const std::string text = installation_category().message(e.code());
        return quillo::format(L"{0} ({1})", std::wstring(text.begin(), text.end()), e.code());
    } catch (const std::exception& e) {
        const std::string text = e.what();
        return std::wstring(text.begin(), text.end());
    } catch (...) {
        return L"unknown failure";
    }
}

std::int32_t setup_main(int show, std::wstring package_folder, const setup_hooks& hooks, setup_platform& platform)
{
    using namespace tavik::details;
    package pkg(platform::ktm::system_transactions(), platform);
    pkg.options() = parse_command_line();
    setup_options& options = pkg.options();

    if (options.wait_process) {
        if (WaitForSingleObject(options.wait_process.get(), wait_process_bound()) == WAIT_TIMEOUT)
            return -1;
    }
    if (const std::uint64_t boot = get_boot_time(); boot != 0 && is_reboot_pending(read_pending_reboot(), boot)) {
        if (!options.silent
            && platform.message_box(nullptr,
                                    L"Setup has detected a reboot is pending on your computer. Setup cannot continue until "
                                    L"you complete a reboot. Do you want to reboot now?",
                                    L"Setup Error", MB_YESNO | MB_ICONQUESTION)
                   == IDYES)
            exit_windows(platform, EWX_REBOOT | EWX_FORCE);
        return installation_reboot_pending;
    }
    if (!options.source.empty())
        package_folder = options.source;
    pkg.set_ui_server_starter(hooks.start_ui_server);

    auto startup = pkg.load(package_folder, !options.silent);
    if (!options.silent) {
        if (!hooks.interactive) {
            wait_blocking(startup);
            return installation_failed;
        }
        LoadLibraryW(L"RICHED20.DLL");
        try {
            return hooks.interactive(show, pkg, std::move(startup));
        } catch (const std::exception&) {
            return -1;
        }
    }

    wait_blocking(startup);
    try {
        wait_blocking_result(wait_config_ready(pkg));
        wait_blocking_result(wait_loaded_async(pkg));
    } catch (...) {
        log_failure(std::current_exception());
        return installation_failed;
    }
    if (options.type == install_type_windows_too_old)
        return installation_windows_unsupported;
    if (options.requested_type != 0)
        options.type = static_cast<std::int32_t>(options.requested_type);
    if (options.type == install_type_update && options.server.empty())
        return 0;

    std::unique_ptr<SetupUiInterface> ui;
    try {
        if (options.server.empty())
            ui = std::make_unique<silent_ui>();
        else if (hooks.connect_ui)
            ui = hooks.connect_ui(options.server);
        else
            throw_hresult(E_NOTIMPL);
        options.no_window = ui->get_window() == 0;
        wait_blocking_result(pkg.run(ui.get()));
        return 0;
    } catch (...) {
        // The elevated copy tells the window a cancel apart from a failure: the window closes
        // instead of showing "Setup has failed".
        if (!options.server.empty() && is_abort(std::current_exception()))
            return installation_cancelled;
        return exit_code_of(std::current_exception());
    }
}

std::int32_t setup_entry(int show, const setup_hooks& hooks)
{
    wchar_t windows[520];
    const UINT n = GetWindowsDirectoryW(windows, 520);
    if (n > 0 && n < 520)
        SetCurrentDirectoryW(windows);
    const bool elevated_copy = std::wstring_view(GetCommandLineW()).find(L"--server {") != std::wstring_view::npos;
    bool remove_copy = false;
    if (!elevated_copy) {
        if (!environment_has(marker_is_copy))
            return run_setup_copy();
        remove_copy = environment_has(marker_need_remove);
    }
    const HRESULT com = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const std::int32_t code = setup_main(show, get_archive_folder(), hooks);
    if (remove_copy)
        schedule_copy_removal();
    if (SUCCEEDED(com))
        CoUninitialize();
    return code;
}

} // namespace tolvane
