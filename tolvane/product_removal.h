#pragma once
// Removal of other installations before an installation: the product's own previous version when
// it cannot be upgraded in place, and the incompatible products named by RemoveAppIDs. Each runs its
// own uninstaller in a job object; the wait follows the uninstaller's working copy (the started
// program is a launcher that ends at once), and a removal counts as done when the removed
// product's uninstall entry is gone.

#include <cstdint>
#include <map>
#include <string>

#include <windows.h>

namespace tolvane {

class package;

// The launcher's markers, which a started installer must not inherit.
inline constexpr const wchar_t* launcher_markers[] = {L"QUVAN-RAVELWIN3-ISCOPY", L"QUVAN-RAVELWIN3-NEED_REMOVE",
                                                      L"QUVAN-RAVELWIN3-ARCHIVE_DIR", L"QUVAN-RAVELWIN3-LAUNCHER"};

// "name=value\0" per pair, then a further NUL.
std::wstring make_environment_block(const std::map<std::wstring, std::wstring>& environment);

// 0, or the installation code 9 (the user declined) or 10 (no command, or the product is still
// there). `root`\`key_path` is the product's uninstall entry.
std::int32_t remove_incompatible_product(package& pkg, std::wstring& log, bool no_window, HKEY root,
                                         const std::wstring& key_path);

// Runs the installed version's uninstaller; E_INVALIDARG without a command, E_FAIL when the
// product's entry is still there afterwards (raised).
void remove_previous_version(package& pkg, std::wstring& log, bool silent);

// Runs `command` in a job without the launcher markers and waits for its working process (or for
// the job to empty); then raises E_FAIL when `root`\`gone_key` still exists. Closes the package's
// installer mutex first: the uninstaller is an installer too.
void run_uninstaller(package& pkg, const std::wstring& command, HKEY root, const std::wstring& gone_key);

} // namespace tolvane
