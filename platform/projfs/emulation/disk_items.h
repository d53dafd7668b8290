#pragma once
// Reading and making the items of a virtualization root on disk: how an item looks now, the
// directory's names, and the items the emulation makes (placeholders and shells) and removes
// (shells, items handed back). What the record says of them is root_record's business.

#include <platform/projfs/emulation/item_state.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace projfs::emulation {

// Attributes PrjWritePlaceholderInfo passes on to the item it makes.
inline constexpr std::uint32_t settable_attributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                                     FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE |
                                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

// The calling thread's last error as an HRESULT; E_FAIL where a call failed without setting one.
HRESULT last_error() noexcept;

// How the item `path` looks now, or false with the error of the lookup.
bool stat_item(const std::wstring& path, item_look& look, DWORD& error);

// The file index of the item `path` (which directory it is, across renames), or none.
std::optional<std::uint64_t> file_index(const std::wstring& path);

// Removes an item that nobody else holds on to: a shell, or an item handed back to the provider.
// A read-only item loses the attribute first, and gets it back when it still cannot go.
bool remove_item(const std::wstring& path, const item_look& look);

// The names in the directory `path`, "." and ".." left out; none when it cannot be listed.
std::vector<std::wstring> list_names(const std::wstring& path);

// The items in the directory `path` and how they look, as one listing gives them (no lookup per
// item); "." and ".." left out, none when it cannot be listed.
std::vector<std::pair<std::wstring, item_look>> list_items(const std::wstring& path);

// Makes the item `path`, which is not there, as `info` describes it; `made` is how it then looks.
// A file gets its size without its data: it reads as zeros. Nothing is left behind when it fails.
HRESULT make_item(const std::wstring& path, const PRJ_FILE_BASIC_INFO& info, item_look& made);

// Gives the existing directory `path` the times and attributes of `info`; `made` is how it then
// looks.
HRESULT restamp_directory(const std::wstring& path, const PRJ_FILE_BASIC_INFO& info, item_look& made);

} // namespace projfs::emulation
