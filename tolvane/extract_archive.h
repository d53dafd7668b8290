#pragma once
// Unpacking the package's 7z archive into a folder of its own.
//
// An archive is refused before anything is written when one of its entries could land outside the
// target folder or in a device: names that are absolute, hold "..", "." or empty components, a
// backslash, a colon (drive letters, alternate streams), characters Windows does not allow in names,
// components ending in a dot or a blank (Windows would drop them), device names (NUL, AUX, CON,
// PRN, COM1-9, LPT1-9, with or without an extension), names of 260 or more characters with their
// terminator, and links (a Unix link mode or the reparse-point attribute). Every failure ends the
// extraction with a named `config_error`: the archive, the entry when there is one, and what was
// expected; a cancel raises operation_cancelled. Entries written before a failure stay in the target
// folder, which the caller removes.

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

namespace tolvane {

// Why an entry is refused (a text for the error), or empty when it is acceptable. `attributes` is
// the entry's stored attribute word (0 when it has none).
std::wstring check_archive_entry(std::wstring_view name, std::uint32_t attributes, bool is_directory);

// Unpacks every entry of the archive below `target` (which exists). `cancel` (may be null) is read
// before each entry; non-zero stops the extraction.
void extract_archive(const std::wstring& archive, const std::wstring& target, const std::atomic<std::uint32_t>* cancel);

} // namespace tolvane
