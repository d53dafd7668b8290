#pragma once
// Whether the Projected File System is there, and the file-name order that works either way.

#include <platform/projfs/projfs.h>

#include <string>
#include <string_view>

namespace projfs {

// True when ProjectedFSLib.dll loads from the program's folder or the system folder (the optional
// feature is on, or the emulation sits beside the program). Decided once per process; the module
// stays loaded, so the delay-loaded imports of projfs.h bind to it. Every call of those functions
// must be preceded by a true answer, or the delay-load helper raises a structured exception that
// ends the process (or loads the DLL by the default search order, the current folder included).
bool available() noexcept;

// The order of file names in the file system, as PrjFileNameCompare gives it (negative, zero,
// positive). Where the feature is missing (the estimate command runs there), the same ordinal
// comparison that ignores case through the system's uppercase table is made without it.
int file_name_compare(PCWSTR name1, PCWSTR name2) noexcept;

// The fallback of file_name_compare: CompareStringOrdinal ignoring case.
int ordinal_compare_ignore_case(PCWSTR name1, PCWSTR name2) noexcept;

// Strict weak order of names for ordered containers: a before b when file_name_compare(a, b) < 0.
// Names must not contain NUL characters.
struct file_name_less {
    bool operator()(const std::wstring& a, const std::wstring& b) const noexcept
    {
        return file_name_compare(a.c_str(), b.c_str()) < 0;
    }
};

} // namespace projfs
