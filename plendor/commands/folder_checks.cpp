#include <plendor/commands/folder_checks.h>

#include <tavik/error.h>

#include <objbase.h>

#include <memory>
#include <vector>

namespace {

bool is_separator(wchar_t c) noexcept { return c == L'\\' || c == L'/'; }
bool is_letter(wchar_t c) noexcept { return (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z'); }

bool only_separators(std::wstring_view rest) noexcept
{
    for (wchar_t c : rest)
        if (!is_separator(c))
            return false;
    return true;
}

bool starts_with_ignoring_case(std::wstring_view text, std::wstring_view prefix) noexcept
{
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        wchar_t a = text[i], b = prefix[i];
        if (a >= L'a' && a <= L'z')
            a = static_cast<wchar_t>(a - L'a' + L'A');
        if (b >= L'a' && b <= L'z')
            b = static_cast<wchar_t>(b - L'a' + L'A');
        if (a == L'/')
            a = L'\\';
        if (a != b)
            return false;
    }
    return true;
}

} // namespace

bool is_volume_root(std::wstring_view path) noexcept
{
    if (starts_with_ignoring_case(path, L"\\\\?\\UNC\\")) {
        path.remove_prefix(8);
    } else if (starts_with_ignoring_case(path, L"\\\\?\\") || starts_with_ignoring_case(path, L"\\\\.\\")) {
        path.remove_prefix(4);
    } else if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1])) {
        path.remove_prefix(2);
        // The server part is the root name.
        std::size_t end = 0;
        while (end < path.size() && !is_separator(path[end]))
            ++end;
        return end > 0 && only_separators(path.substr(end));
    } else {
        if (path.size() >= 2 && is_letter(path[0]) && path[1] == L':')
            return only_separators(path.substr(2));
        return false;
    }
    if (path.size() >= 2 && is_letter(path[0]) && path[1] == L':')
        return only_separators(path.substr(2));
    // After "\\?\UNC\": a server name alone.
    std::size_t end = 0;
    while (end < path.size() && !is_separator(path[end]))
        ++end;
    return end > 0 && only_separators(path.substr(end));
}

bool is_same_or_inside(std::wstring_view candidate, std::wstring_view listed) noexcept
{
    if (candidate == listed)
        return true;
    return candidate.size() >= listed.size() + 1 && candidate.substr(0, listed.size()) == listed &&
           candidate[listed.size()] == L'\\';
}

void folder_paths::lower_case_in_place(std::wstring& text) noexcept
{
    if (!text.empty())
        CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
}

bool is_fully_qualified(std::wstring_view path) noexcept
{
    if (path.size() >= 2 && is_separator(path[0]) && is_separator(path[1]))
        return path.size() > 2 && !is_separator(path[2]);
    return path.size() >= 3 && is_letter(path[0]) && path[1] == L':' && is_separator(path[2]);
}

std::wstring canonical_folder_path(std::wstring_view path)
{
    if (!is_fully_qualified(path) || path.find(L'\0') != std::wstring_view::npos)
        tavik::details::throw_hresult(E_INVALIDARG);
    const std::wstring input(path);
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetFullPathNameW(input.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0)
            tavik::details::throw_last_error();
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n);
    }
    // The prefixes that only switch off the system's own path parsing name the same folder.
    if (starts_with_ignoring_case(full, L"\\\\?\\UNC\\")) {
        full.erase(2, 6);
    } else if (starts_with_ignoring_case(full, L"\\\\?\\") || starts_with_ignoring_case(full, L"\\\\.\\")) {
        full.erase(0, 4);
        // A volume GUID path, a pipe or any other device is no folder convert should touch.
        if (!(full.size() >= 2 && is_letter(full[0]) && full[1] == L':'))
            tavik::details::throw_hresult(E_INVALIDARG);
    }
    if (full.size() == 2 && full[1] == L':')
        full.push_back(L'\\');
    // Long names: GetLongPathNameW fails for a path that does not exist yet; its text then stays.
    {
        std::wstring long_form(full.size() + 1, L'\0');
        DWORD n = GetLongPathNameW(full.c_str(), long_form.data(), static_cast<DWORD>(long_form.size()));
        if (n >= long_form.size()) {
            long_form.resize(n);
            n = GetLongPathNameW(full.c_str(), long_form.data(), static_cast<DWORD>(long_form.size()));
        }
        if (n > 0 && n < long_form.size()) {
            long_form.resize(n);
            full = std::move(long_form);
        }
    }
    const bool drive = full.size() >= 2 && is_letter(full[0]) && full[1] == L':';
    const std::size_t keep = drive ? 3 : 2;
    while (full.size() > keep && full.back() == L'\\')
        full.pop_back();
    return full;
}

const std::array<known_folder_rule, 52> known_folder_rules = {{
    {&FOLDERID_Windows, true},
    {&FOLDERID_ProgramFiles, true},
    {&FOLDERID_ProgramFilesX86, true},
    {&FOLDERID_ProgramData, false},
    {&FOLDERID_Profile, false},
    {&FOLDERID_Documents, false},
    {&FOLDERID_Downloads, false},
    {&FOLDERID_Pictures, false},
    {&FOLDERID_Music, false},
    {&FOLDERID_Videos, false},
    {&FOLDERID_Desktop, false},
    {&FOLDERID_AppDataDesktop, false},
    {&FOLDERID_AppDataDocuments, false},
    {&FOLDERID_AppDataFavorites, false},
    {&FOLDERID_AppDataProgramData, false},
    {&FOLDERID_Favorites, false},
    {&FOLDERID_CameraRoll, false},
    {&FOLDERID_CommonStartMenu, false},
    {&FOLDERID_Cookies, false},
    {&FOLDERID_Fonts, false},
    {&FOLDERID_Games, false},
    {&FOLDERID_History, false},
    {&FOLDERID_LocalAppData, false},
    {&FOLDERID_LocalAppDataLow, false},
    {&FOLDERID_LocalDocuments, false},
    {&FOLDERID_LocalDownloads, false},
    {&FOLDERID_LocalMusic, false},
    {&FOLDERID_LocalPictures, false},
    {&FOLDERID_LocalVideos, false},
    {&FOLDERID_SkyDrive, false},
    {&FOLDERID_Public, false},
    {&FOLDERID_PublicDesktop, false},
    {&FOLDERID_PublicDocuments, false},
    {&FOLDERID_PublicMusic, false},
    {&FOLDERID_PublicPictures, false},
    {&FOLDERID_PublicVideos, false},
    {&FOLDERID_QuickLaunch, false},
    {&FOLDERID_Recent, true},
    {&FOLDERID_RecycleBinFolder, false},
    {&FOLDERID_RoamingAppData, false},
    {&FOLDERID_SampleMusic, false},
    {&FOLDERID_SamplePictures, false},
    {&FOLDERID_SampleVideos, false},
    {&FOLDERID_SavedGames, false},
    {&FOLDERID_SavedPictures, false},
    {&FOLDERID_SavedSearches, false},
    {&FOLDERID_Screenshots, false},
    {&FOLDERID_SendTo, false},
    {&FOLDERID_StartMenu, false},
    {&FOLDERID_StartMenuAllPrograms, false},
    {&FOLDERID_Startup, false},
    {&FOLDERID_UserProfiles, false},
}};

std::optional<std::wstring> resolve_known_folder(const KNOWNFOLDERID& id)
{
    PWSTR text = nullptr;
    const HRESULT hr = SHGetKnownFolderPath(id, 0, nullptr, &text);
    std::unique_ptr<wchar_t, decltype(&CoTaskMemFree)> owner(text, &CoTaskMemFree);
    if (FAILED(hr) || !text)
        return std::nullopt;
    return std::wstring(text);
}

void check_known_folder(std::wstring_view candidate, const KNOWNFOLDERID& id, bool subtree,
                        const known_folder_resolver& resolve)
{
    std::optional<std::wstring> where = resolve(id);
    if (!where || where->empty())
        return;
    // The known folder in the candidate's form, so that spellings compare equal.
    std::wstring folder;
    try {
        folder = canonical_folder_path(*where);
    } catch (...) {
        folder = *where;
    }
    folder_paths::lower_case_in_place(folder);
    if (candidate == folder)
        throw known_folder{};
    if (subtree) {
        if (folder.back() != L'\\')
            folder.push_back(L'\\');
        if (candidate.starts_with(folder))
            throw known_folder{};
    }
}

bool is_known_system_folder(std::wstring_view candidate, const known_folder_resolver& resolve)
{
    try {
        for (const known_folder_rule& rule : known_folder_rules)
            check_known_folder(candidate, *rule.id, rule.subtree, resolve);
    } catch (const known_folder&) {
        return true;
    }
    return false;
}

bool folder_has_entries(const std::wstring& path) noexcept
{
    HANDLE folder = CreateFileW(path.c_str(), FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                                nullptr);
    if (folder == INVALID_HANDLE_VALUE)
        return false;
    constexpr DWORD size = 0x5000;
    void* buffer = VirtualAlloc(nullptr, size, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
    bool found = false;
    if (buffer && GetFileInformationByHandleEx(folder, FileFullDirectoryInfo, buffer, size)) {
        auto* p = static_cast<const BYTE*>(buffer);
        for (;;) {
            const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(p);
            const std::wstring_view name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..") {
                found = true;
                break;
            }
            if (entry->NextEntryOffset == 0)
                break;
            p += entry->NextEntryOffset;
        }
    }
    if (buffer)
        VirtualFree(buffer, 0, MEM_RELEASE);
    CloseHandle(folder);
    return found;
}
