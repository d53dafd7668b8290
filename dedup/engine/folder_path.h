#pragma once
// Folder paths as they enter the product (the command line's folders, the root folder's create and
// open, pipe names): made full, and without trailing separators except at a volume root. "D:\Data\"
// and "D:\Data" are one folder, with one store folder "D:\Data.dedup" beside it (not
// "D:\Data\.dedup" inside it) and one pipe name. Header-only, so that any library can call it.

#include <windows.h>

#include <string>
#include <string_view>

namespace dedup {

namespace details {

inline bool is_separator(wchar_t c) noexcept
{
    return c == L'\\' || c == L'/';
}

// Whether `path` (with no trailing separator) names the root of a volume or share, whose
// separator is part of its name: "C:", "\\?\C:", "\\.\C:", "\\?\Volume{...}", "\\server\share",
// "\\?\UNC\server\share".
inline bool is_volume_root_without_separator(std::wstring_view path) noexcept
{
    auto drive = [](std::wstring_view p) { return p.size() == 2 && p[1] == L':' && p[0] != L'\\' && p[0] != L'/'; };
    if (drive(path))
        return true;
    if (path.size() >= 4 && is_separator(path[0]) && is_separator(path[1]) && (path[2] == L'?' || path[2] == L'.') &&
        is_separator(path[3])) {
        std::wstring_view rest = path.substr(4);
        if (drive(rest))
            return true;
        if (rest.starts_with(L"Volume{") && rest.ends_with(L'}') && rest.find_first_of(L"\\/") == rest.npos)
            return true;
        if (rest.size() > 4 && (rest.starts_with(L"UNC\\") || rest.starts_with(L"UNC/"))) {
            std::wstring_view share = rest.substr(4);
            auto cut = share.find_first_of(L"\\/");
            return cut != share.npos && cut > 0 && cut + 1 < share.size() &&
                   share.find_first_of(L"\\/", cut + 1) == share.npos;
        }
        return false;
    }
    if (path.size() > 2 && is_separator(path[0]) && is_separator(path[1]) && !is_separator(path[2])) {
        std::wstring_view share = path.substr(2);
        auto cut = share.find_first_of(L"\\/");
        return cut != share.npos && cut + 1 < share.size() && share.find_first_of(L"\\/", cut + 1) == share.npos;
    }
    return false;
}

} // namespace details

// `path` without its trailing '\' and '/', except the one separator of a volume or share root
// ("C:\" stays "C:\"; "\\" and "/" become "\").
inline std::wstring strip_trailing_separators(std::wstring path)
{
    std::size_t end = path.size();
    while (end > 0 && details::is_separator(path[end - 1]))
        --end;
    if (end == path.size())
        return path;
    path.resize(end);
    if (path.empty() || details::is_volume_root_without_separator(path))
        path.push_back(L'\\');
    return path;
}

// The full path of a folder (GetFullPathNameW, as std::filesystem::absolute makes it) without
// trailing separators. A path the system cannot make full is returned stripped as given.
inline std::wstring full_folder_path(std::wstring_view path)
{
    std::wstring given(path);
    DWORD needed = GetFullPathNameW(given.c_str(), 0, nullptr, nullptr);
    if (needed == 0)
        return strip_trailing_separators(std::move(given));
    std::wstring full(needed, L'\0');
    DWORD length = GetFullPathNameW(given.c_str(), needed, full.data(), nullptr);
    if (length == 0 || length >= needed)
        return strip_trailing_separators(std::move(given));
    full.resize(length);
    return strip_trailing_separators(std::move(full));
}

} // namespace dedup
