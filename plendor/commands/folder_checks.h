#pragma once
// What convert refuses before it asks the service, and the one form of a folder path that every
// folder command uses.
//
// A path is checked in the form the service will act on: written in other spellings
// ("C:/Windows/System32", "C:\Windows\..\Windows\System32", "\\?\C:\Windows", a trailing "\", a
// short 8.3 name) it would slip past comparisons made on the text as typed, and a relative path
// would be resolved by the service in its own directory. canonical_folder_path makes that form
// once; the checks, the call and the folder list all use it.

#include <windows.h>
#include <shlobj.h>

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

// A drive ("D:", "D:\", "D:/") or a network server root ("\\server", "\\server\") with nothing but
// separators after it. The long-path prefixes "\\?\" and "\\?\UNC\" are read through.
bool is_volume_root(std::wstring_view path) noexcept;

// The candidate equals the listed folder, or lies below it: unit by unit, case-sensitive.
bool is_same_or_inside(std::wstring_view candidate, std::wstring_view listed) noexcept;

namespace folder_paths {
// Each UTF-16 unit through the user's default lower-case mapping. (In a namespace of its own: the
// main window has a global one of the same name.)
void lower_case_in_place(std::wstring& text) noexcept;
} // namespace folder_paths

// A drive path ("C:\...") or a UNC path ("\\server\share..."), also behind "\\?\" or "\\.\";
// never a drive-relative ("C:x"), rooted ("\x") or relative one.
bool is_fully_qualified(std::wstring_view path) noexcept;

// The folder's one form: fully qualified, "." and ".." resolved, "/" turned into "\", no "\\?\"
// or "\\.\" prefix ("\\?\UNC\" becomes "\\"), long names for the parts that exist, and no trailing
// separator except at a drive's root. Raises E_INVALIDARG for a path that is not fully qualified
// or names a device rather than a drive or a share, and the error of GetFullPathNameW otherwise.
// Case is kept.
std::wstring canonical_folder_path(std::wstring_view path);

// One row of the system folders convert refuses: with `subtree`, everything below it too.
struct known_folder_rule {
    const KNOWNFOLDERID* id;
    bool subtree;
};
extern const std::array<known_folder_rule, 52> known_folder_rules;

// Thrown by check_known_folder for a refused candidate.
struct known_folder {};

// Where a known folder is on this machine; nothing when the system cannot tell (virtual folders
// such as the recycle bin). Tests give their own.
using known_folder_resolver = std::function<std::optional<std::wstring>(const KNOWNFOLDERID&)>;
std::optional<std::wstring> resolve_known_folder(const KNOWNFOLDERID& id);

// `candidate` is in lower case already. Throws known_folder when it is the folder or, with
// `subtree`, lies below it.
void check_known_folder(std::wstring_view candidate, const KNOWNFOLDERID& id, bool subtree,
                        const known_folder_resolver& resolve);

// Whether any row of the list refuses the candidate (lower case). Rows that do not resolve are
// skipped.
bool is_known_system_folder(std::wstring_view candidate, const known_folder_resolver& resolve);

// Whether the folder's first batch of entries holds anything but "." and "..". A folder that
// cannot be opened or read counts as empty: the service's answer decides about it.
bool folder_has_entries(const std::wstring& path) noexcept;
