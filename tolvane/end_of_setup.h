#pragma once
// The end of an installation that left locked files: continue setup after a log-off or restart
// (dialog 135), and the one way the installer logs off or restarts Windows.

#include <cstdint>

#include <windows.h>

namespace tolvane {

class setup_platform;

inline constexpr int continue_dialog_id = 135;
inline constexpr int continue_after_logoff = 1011;
inline constexpr int continue_after_restart = 1012;
inline constexpr DWORD planned_upgrade_reason = 0x80020003;

// Takes the shutdown privilege and calls ExitWindowsEx with the installer's reason; false when the
// privilege is not granted or the call fails.
bool exit_windows(setup_platform& platform, std::uint32_t flags);

// Shows dialog 135; for a continuation writes the launcher's command line as a RunOnce value, asks
// for confirmation and logs off or restarts.
void prompt_continue_after_reboot(setup_platform& platform, HWND owner);

// The question that follows the choice of 1011 (log off) or 1012 (restart).
const wchar_t* continue_question(int choice) noexcept;

} // namespace tolvane
