#pragma once
// The launcher: the file the user starts copies itself into the temporary folder, starts the copy
// with its own arguments and the four markers, and ends. The working copy does the run and, at its
// end, arranges its deletion at the next log-on. Handles are inherited by the copy, so a process
// handle given with "--wait-process" stays valid in the process that waits for it.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>

namespace tolvane {

inline constexpr wchar_t marker_is_copy[] = L"QUVAN-RAVELWIN3-ISCOPY";
inline constexpr wchar_t marker_need_remove[] = L"QUVAN-RAVELWIN3-NEED_REMOVE";
inline constexpr wchar_t marker_archive_dir[] = L"QUVAN-RAVELWIN3-ARCHIVE_DIR";
inline constexpr wchar_t marker_launcher[] = L"QUVAN-RAVELWIN3-LAUNCHER";

// The removal script's resource: type "CLEAN", id 132.
inline constexpr int removal_script_resource = 132;

// 0 when the copy was started, 7 when it could not be made or started.
std::int32_t run_setup_copy();

// "\"{path}\"{rest}".
std::wstring format_copy_command_line(std::wstring_view program, std::wstring_view rest);
// What follows the program name of a command line, from the blank that ends it (quotes toggle).
std::wstring_view command_line_rest(std::wstring_view command_line) noexcept;
// The text before the last separator, as std::filesystem's parent_path gives it.
std::wstring parent_path(const std::wstring& path);

// The package folder: the ARCHIVE_DIR marker, else the running program's folder.
std::wstring get_archive_folder();

// Writes the removal script beside the program and a RunOnce value that runs it at the next log-on.
void schedule_copy_removal();

std::wstring_view trim_blanks(std::wstring_view text) noexcept;
// An environment block as ordered (name, value) pairs: both trimmed, the first of a name wins, and
// entries without a name (the per-drive folders) are left out. Frees the block.
std::map<std::wstring, std::wstring> read_environment(wchar_t* block);

// The running program's full path.
std::wstring module_path();

} // namespace tolvane
