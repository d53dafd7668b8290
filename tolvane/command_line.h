#pragma once
// The installer's command line, its error category "installation" (whose codes are the exit
// codes), and the helpers the whole installer shares: the Windows version and the pending-reboot
// marker.

#include <cstdint>
#include <string>
#include <string_view>
#include <system_error>

#include <windows.h>

#include <tolvane/setup_options.h>

namespace tolvane {

// The options of one command line. A syntax error stops the filling where it happened (fields not
// reached keep their defaults) and is returned as its message; the caller shows
// "Invalid command line syntax ignored." and goes on.
struct parsed_command_line {
    setup_options options;
    std::string syntax_error; // empty when there was none
};
parsed_command_line parse_setup_command_line(std::wstring_view command_line);

// GetCommandLineW parsed; a syntax error is shown in a box (also in a silent run) and ignored.
setup_options parse_command_line();

// --- the "installation" category: exit codes and their messages
const std::error_category& installation_category() noexcept;

enum installation_code : int {
    installation_reboot_required = 3,
    installation_failed = 4,
    installation_windows_unsupported = 5,
    installation_reboot_pending = 6,
    installation_copy_not_started = 7,
    installation_already_installed = 8,
    installation_cancelled = 9,
    installation_previous_removal_failed = 10,
};

// Ends a run with one of the category's codes.
class installation_exception {
public:
    explicit installation_exception(std::int32_t code) noexcept : code_(code) {}
    std::int32_t code() const noexcept { return code_; }

private:
    std::int32_t code_;
};

struct windows_version {
    bool at_least_6_1 = false;
    bool at_least_6_2 = false;
    bool at_least_6_3 = false;
    bool at_least_10 = false;
    bool windows_11 = false;
    std::uint32_t version = 0; // major x 100 + minor
    std::uint32_t build = 0;
};

// Filled once per process.
const windows_version& get_windows_version();
windows_version make_windows_version(std::uint32_t major, std::uint32_t minor, std::uint32_t build);

// --- the pending-reboot marker: HKCU "Software\Quvan Software\Ravelwin2" PendingReboot (REG_QWORD)
inline constexpr wchar_t ravelwin_key[] = L"Software\\Quvan Software\\Ravelwin2";
inline constexpr wchar_t pending_reboot_value[] = L"PendingReboot";

// The current session's boot time in FILETIME units: now minus the time since boot.
std::uint64_t get_boot_time();
// A stored boot time within 10 seconds (either way) of the current one: the reboot has not happened.
bool is_reboot_pending(std::uint64_t stored, std::uint64_t boot) noexcept;
// The stored value, 0 when missing.
std::uint64_t read_pending_reboot();
bool write_pending_reboot(std::uint64_t boot);

// --- settings of a test host, read from the environment it starts the installer with
// The key under HKCU that holds the pending-reboot marker: ravelwin_key, or the key named by
// TOLVANE_TEST_PENDING_REBOOT_KEY, so that runs side by side do not see each other's marker.
std::wstring pending_reboot_key();
// How long --wait-process waits, in milliseconds: 60 seconds, or TOLVANE_TEST_WAIT_PROCESS_MS.
DWORD wait_process_bound();

} // namespace tolvane
