#pragma once
// Every name of a file or folder that a deduplicated folder's store owns is made here, and only
// here; nothing else concatenates store paths. Beside each maker that takes a number sits its exact
// inverse, which accepts only the canonical form the maker produces, so that a stray file such as
// "0\01.dcb" or "0\1500.dcb" is never mistaken for (and never deleted as) block file 1.
//
//   D:\Data                      the deduplicated folder
//   D:\Data.dedup                its store folder (hidden, beside it)
//     lock                       open while a folder server has the folder
//     files.deinfo               folder tree file (+ ".new", ".backup" while and after replacing)
//     blocks                     block folder
//       blocks.ddb               block index (+ ".new", ".backup")
//       0 .. k                   block subfolders: block file n lives in subfolder n >> 10
//         0.dcb .. 1023.dub      block files: (n & 1023), ".dcb" compressed, ".dub" not

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace dedup {

// The store folder of a folder: its full path with ".dedup" appended as text, no separator.
std::wstring store_folder_path(std::wstring_view folder_path);

std::wstring lock_file_path(std::wstring_view store_folder);
std::wstring file_info_path(std::wstring_view store_folder);
std::wstring block_folder_path(std::wstring_view store_folder);
std::wstring block_index_path(std::wstring_view block_folder);

// The two companions of a file replaced through durable_replace: the file being written, and the
// previous version kept after the swap.
std::wstring replacement_path(std::wstring_view target);
std::wstring backup_path(std::wstring_view target);

// Block files: at most this many share a subfolder.
inline constexpr std::uint64_t block_files_per_folder = 1024;

std::wstring block_subfolder_name(std::uint64_t number);
std::wstring block_file_name(std::uint64_t number, bool uncompressed);
std::wstring block_subfolder_path(std::wstring_view block_folder, std::uint64_t number);
std::wstring block_file_path(std::wstring_view block_folder, std::uint64_t number, bool uncompressed);

// Inverse of block_subfolder_name: the subfolder's number (n >> 10 of its files), or nothing for a
// name that block_subfolder_name never makes (leading zeros, signs, extensions, too large).
std::optional<std::uint64_t> parse_block_subfolder_name(std::wstring_view name);

struct block_file_name_parts {
    std::uint32_t index;  // n & 1023
    bool uncompressed;    // ".dub"
};

// Inverse of block_file_name: "0.dcb" to "1023.dub", case-sensitive, no leading zeros.
std::optional<block_file_name_parts> parse_block_file_name(std::wstring_view name);

// The number of the block file `index` in subfolder `folder` (both as parsed above).
inline std::uint64_t block_file_number(std::uint64_t folder, std::uint32_t index) noexcept
{
    return folder * block_files_per_folder + index;
}

} // namespace dedup
