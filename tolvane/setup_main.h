#pragma once
// The installer's process entry and main routine: which process this is (launcher, working copy,
// elevated copy), the wait for a named process, the pending-reboot check, the package's start-up,
// the user interface of the run and the exit code.
//
// A silent run ends with 4 and the error in the setup log when the start-up fails: a missing or
// bad "config.ini", another installer running, or an uninstallation of a product that is not
// installed (which therefore touches nothing).

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <tavik/future.h>
#include <tolvane/package.h>

namespace tolvane {

class SetupUiInterface;

// What the window and the pipe add to the engine; an empty hook means the program has no such part.
struct setup_hooks {
    // The interactive run with the main window: its exit code. The start-up future is the window's to keep.
    std::function<std::int32_t(int show, package& pkg, tavik::details::future<void> startup)> interactive;
    // The user interface of an elevated copy, served by the first copy on the pipe of that name.
    std::function<std::unique_ptr<SetupUiInterface>(const std::wstring& pipe)> connect_ui;
    package::ui_server_starter start_ui_server;
};

// The exit code of a failed run: an installation_exception's code, 3 for hresult_error 1 (a restart
// is needed), else 4.
std::int32_t exit_code_of(std::exception_ptr failure) noexcept;
// A failure as one line of text for the setup log.
std::wstring failure_text(std::exception_ptr failure);

std::int32_t setup_main(int show, std::wstring package_folder, const setup_hooks& hooks,
                        setup_platform& platform = system_platform());
std::int32_t setup_entry(int show, const setup_hooks& hooks);

} // namespace tolvane
