#include <tolvane/ui/ui_hooks.h>

#include <tavik/error.h>
#include <tolvane/end_of_setup.h>
#include <tolvane/feature.h>
#include <tolvane/run_installation.h>
#include <tolvane/startup.h>
#include <tolvane/ui/ui_link.h>

#include <objbase.h>

namespace tolvane {

std::int32_t run_interactive(int show, package& pkg, tavik::details::future<void> startup, main_dialog_hooks* overrides)
{
    using namespace tavik::details;
    main_dialog_hooks hooks;
    hooks.wait_ready = [&pkg] { wait_blocking_result(wait_ready_async(pkg)); };
    hooks.take_icon = [&pkg]() -> IWICBitmapSource* { return pkg.take_icon(); };
    hooks.wait_loaded = [&pkg] { wait_blocking_result(wait_loaded_async(pkg)); };
    hooks.license_text = [&pkg] { return pkg.license_text(); };
    hooks.run = [&pkg](SetupUiInterface& ui) { return run_installation(pkg, &ui); };
    hooks.show_start_failure = [&pkg](HWND owner, HRESULT code) {
        pkg.platform().message_box(owner, hresult_error_impl::message(code), L"Setup Error", MB_OK | MB_ICONERROR);
    };
    hooks.prompt_continue_after_reboot = [&pkg](HWND owner) { prompt_continue_after_reboot(pkg.platform(), owner); };
    hooks.exit_windows = [&pkg](std::uint32_t flags) { return exit_windows(pkg.platform(), flags); };
    hooks.is_user_admin = [&pkg] { return pkg.platform().is_user_an_admin(); };
    if (overrides) {
        // Tests replace single entries.
        if (overrides->run)
            hooks.run = overrides->run;
        if (overrides->exit_windows)
            hooks.exit_windows = overrides->exit_windows;
        if (overrides->open_document)
            hooks.open_document = overrides->open_document;
        if (overrides->restart_manager)
            hooks.restart_manager = overrides->restart_manager;
    }
    const HRESULT com = CoInitialize(nullptr);
    std::int32_t code = 0;
    {
        main_dialog window(pkg, std::move(hooks));
        code = window.run(show);
    }
    wait_blocking(startup);
    if (SUCCEEDED(com))
        CoUninitialize();
    return code;
}

void install_ui_hooks(setup_hooks& hooks)
{
    hooks.interactive = [](int show, package& pkg, tavik::details::future<void> startup) {
        return run_interactive(show, pkg, std::move(startup));
    };
    hooks.connect_ui = [](const std::wstring& pipe) -> std::unique_ptr<SetupUiInterface> {
        return std::make_unique<ui_proxy>(pipe);
    };
    hooks.start_ui_server = [](SetupUiInterface* ui, package& pkg,
                               std::wstring& pipe) -> std::shared_ptr<package::ui_server_link> {
        auto started = start_ui_server(*ui, [&pkg] {
            std::vector<feature_selection> out;
            if (feature_t* root = pkg.root_feature())
                root->collect_selection(out);
            return out;
        });
        pipe = started.pipe_name;
        return std::shared_ptr<package::ui_server_link>(std::move(started.server));
    };
}

} // namespace tolvane
