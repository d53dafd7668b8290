#pragma once
// The modeless main dialog and its message loop.

#include <ostrel/windows/async_context.h>
#include <ostrel/windows/dialog.h>

#include <windows.h>
#include <commctrl.h>

#include <cstdint>
#include <system_error>

namespace Ostrel::windows::impl {

// The exit code the main dialog's loop returns.
struct exit_code_holder {
    std::uint32_t exit_code = 0;
};

namespace details {
void init_common_controls(DWORD classes) noexcept;
// Pumps messages until WM_QUIT (the main dialog's window may be gone by then); its wParam.
std::uint32_t run_message_loop(const HWND& main_window);
} // namespace details

// Creates the main dialog (no owner), shows it and runs the thread's message loop until the dialog
// is destroyed; returns the dialog's exit code. The hook of the return to the UI thread is
// installed before the dialog is created: its WM_INITDIALOG may already open message boxes whose
// loops must resume coroutines. `classes`: the common-control classes (0x4237 for the configuration
// utility, 0xC233 for the installer).
template <class D>
std::uint32_t run_main_dialog(D& main, int show_command, DWORD classes = 0x4237)
{
    details::init_common_controls(classes);
    main.install([&main](message_record& m) {
        if (m.message != WM_NCDESTROY)
            return false;
        PostQuitMessage(static_cast<int>(main.exit_code));
        return true;
    });
    unhook_windows_hook hook = install_ui_return_hook();
    HWND window = main.create_modeless(nullptr);
    if (!window)
        throw std::system_error(static_cast<int>(GetLastError()), std::system_category(),
                                "CreateDialogParam failed for main dialog");
    ShowWindow(window, show_command);
    return details::run_message_loop(main.window_ref());
}

} // namespace Ostrel::windows::impl
