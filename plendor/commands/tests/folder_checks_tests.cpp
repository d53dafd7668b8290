#include <plendor/commands/folder_checks.h>

#include <tavik/error.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace {

TEST(FolderChecks, VolumeRootTable)
{
    const std::pair<const wchar_t*, bool> rows[] = {
        {L"D:", true},           {L"D:\\", true},           {L"d:/", true},
        {L"D:\\\\", true},       {L"D:\\Data", false},      {L"D:Data", false},
        {L"\\\\server", true},   {L"\\\\server\\", true},   {L"\\\\server\\share", false},
        {L"\\\\?\\D:\\", true},  {L"\\\\?\\D:", true},      {L"\\\\?\\UNC\\server\\", true},
        {L"\\\\?\\UNC\\server\\share", false},              {L"\\\\.\\C:\\", true},
        {L"Data", false},        {L"\\Data", false},        {L"", false},
        {L"\\\\", false},        {L"1:\\", false},
    };
    for (const auto& [path, root] : rows)
        EXPECT_EQ(is_volume_root(path), root) << path;
}

TEST(FolderChecks, SameOrInsideTable)
{
    struct row {
        const wchar_t* candidate;
        const wchar_t* listed;
        bool refused;
    };
    const row rows[] = {
        {L"d:\\photos", L"d:\\photos", true},
        {L"d:\\photos\\2023", L"d:\\photos", true},
        {L"d:\\photos2", L"d:\\photos", false},
        {L"d:\\photo", L"d:\\photos", false},
        {L"d:\\", L"d:\\photos", false}, // a parent of a listed folder is not refused here
        {L"D:\\Photos", L"d:\\photos", false}, // case-sensitive: the candidate is lowered first
        {L"d:\\photos/2023", L"d:\\photos", false},
    };
    for (const row& r : rows)
        EXPECT_EQ(is_same_or_inside(r.candidate, r.listed), r.refused) << r.candidate << L" / " << r.listed;
}

std::wstring checked_form(const wchar_t* path)
{
    std::wstring p = canonical_folder_path(path);
    folder_paths::lower_case_in_place(p);
    return p;
}

HRESULT canonical_error(const wchar_t* path)
{
    try {
        (void)canonical_folder_path(path);
    } catch (const tavik::details::traceable_error& e) {
        return e.code();
    }
    return S_OK;
}

TEST(FolderChecks, OtherSpellingsComeToOneForm)
{
    const std::pair<const wchar_t*, const wchar_t*> rows[] = {
        {L"C:/Windows/System32", L"c:\\windows\\system32"},
        {L"C:\\Windows\\..\\Windows\\System32", L"c:\\windows\\system32"},
        {L"C:\\Windows\\.\\System32\\\\", L"c:\\windows\\system32"},
        {L"\\\\?\\C:\\Windows", L"c:\\windows"},
        {L"\\\\.\\C:\\Windows\\", L"c:\\windows"},
        {L"C:\\users\\Public\\Documents\\", L"c:\\users\\public\\documents"},
        {L"C:\\no such folder\\x\\", L"c:\\no such folder\\x"},
        {L"C:\\", L"c:\\"},
        {L"C:\\Windows\\..", L"c:\\"},
        {L"\\\\server\\share\\dir\\", L"\\\\server\\share\\dir"},
        {L"\\\\?\\UNC\\server\\share\\dir", L"\\\\server\\share\\dir"},
    };
    for (const auto& [given, expected] : rows)
        EXPECT_EQ(checked_form(given), expected) << given;
}

TEST(FolderChecks, PathsThatAreNotFullyQualifiedAreRefused)
{
    for (const wchar_t* path : {L"Windows", L"C:Windows", L"\\Windows", L"", L".\\x", L"..\\x", L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\",
                                L"\\\\.\\pipe\\x"})
        EXPECT_EQ(canonical_error(path), E_INVALIDARG) << path;
}

TEST(FolderChecks, ShortNamesBecomeLongOnes)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::filesystem::path dir = std::filesystem::path(temp) / L"A Long Folder Name For Checks";
    std::filesystem::create_directories(dir);
    wchar_t short_form[MAX_PATH];
    const DWORD n = GetShortPathNameW(dir.c_str(), short_form, MAX_PATH);
    ASSERT_GT(n, 0u);
    std::wstring canonical = canonical_folder_path(short_form);
    EXPECT_TRUE(canonical.ends_with(L"\\A Long Folder Name For Checks")) << canonical;
    std::filesystem::remove(dir);
}

// Known folders from a table of our own: the rules, not the machine, decide.
struct fake_folders {
    std::map<std::wstring, std::wstring> by_id;
    void set(const KNOWNFOLDERID& id, std::wstring path)
    {
        wchar_t text[64];
        StringFromGUID2(id, text, 64);
        by_id[text] = std::move(path);
    }
    known_folder_resolver resolver() const
    {
        return [this](const KNOWNFOLDERID& id) -> std::optional<std::wstring> {
            wchar_t text[64];
            StringFromGUID2(id, text, 64);
            auto it = by_id.find(text);
            if (it == by_id.end())
                return std::nullopt;
            return it->second;
        };
    }
};

TEST(FolderChecks, KnownFolderRules)
{
    fake_folders f;
    f.set(FOLDERID_Windows, L"C:\\Windows");
    f.set(FOLDERID_Documents, L"C:\\Users\\me\\Documents");
    f.set(FOLDERID_Recent, L"C:\\Users\\me\\AppData\\Roaming\\Microsoft\\Windows\\Recent\\");
    f.set(FOLDERID_Profile, L"C:\\Users\\me");
    const auto resolve = f.resolver();
    struct row {
        const wchar_t* given;
        bool refused;
    };
    const row rows[] = {
        {L"C:\\Windows", true},
        {L"c:\\windows\\system32", true},
        {L"C:/Windows/System32", true},
        {L"C:\\Windows\\..\\Windows\\System32", true},
        {L"\\\\?\\C:\\Windows", true},
        {L"C:\\Windows2", false},
        {L"C:\\Users\\me\\Documents", true},
        {L"C:\\Users\\me\\Documents\\", true},
        {L"C:\\Users\\me\\Documents\\Letters", false},
        {L"C:\\Users\\me", true},
        {L"C:\\Users\\me\\Work", false},
        {L"C:\\Users", false}, // parents of known folders are not refused
        {L"C:\\Users\\me\\AppData\\Roaming\\Microsoft\\Windows\\Recent\\x", true},
    };
    for (const row& r : rows)
        EXPECT_EQ(is_known_system_folder(checked_form(r.given), resolve), r.refused) << r.given;

    // Every row is asked, in order, and a row that does not resolve is skipped.
    std::vector<std::wstring> asked;
    const known_folder_resolver recording = [&](const KNOWNFOLDERID& id) -> std::optional<std::wstring> {
        wchar_t text[64];
        StringFromGUID2(id, text, 64);
        asked.push_back(text);
        return std::nullopt;
    };
    EXPECT_FALSE(is_known_system_folder(L"c:\\anything", recording));
    ASSERT_EQ(asked.size(), 52u);
    wchar_t first[64], last[64];
    StringFromGUID2(FOLDERID_Windows, first, 64);
    StringFromGUID2(FOLDERID_UserProfiles, last, 64);
    EXPECT_EQ(asked.front(), first);
    EXPECT_EQ(asked.back(), last);
}

TEST(FolderChecks, KnownFoldersOfThisMachine)
{
    int resolved = 0;
    for (const known_folder_rule& rule : known_folder_rules)
        resolved += resolve_known_folder(*rule.id).has_value();
    EXPECT_GT(resolved, 10);
    const auto windows = resolve_known_folder(FOLDERID_Windows);
    ASSERT_TRUE(windows);
    std::wstring w = checked_form(windows->c_str());
    EXPECT_TRUE(is_known_system_folder(w, &resolve_known_folder));
    EXPECT_TRUE(is_known_system_folder(w + L"\\system32", &resolve_known_folder));
    EXPECT_FALSE(is_known_system_folder(L"c:\\some data", &resolve_known_folder));
}

TEST(FolderChecks, EmptinessOfTheFirstBatch)
{
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::filesystem::path dir = std::filesystem::path(temp) / (L"emptiness-" + std::to_wstring(GetCurrentProcessId()));
    std::filesystem::create_directories(dir);
    EXPECT_FALSE(folder_has_entries(dir.wstring()));
    std::filesystem::create_directories(dir / L"sub");
    EXPECT_TRUE(folder_has_entries(dir.wstring()));
    std::filesystem::remove(dir / L"sub");
    { HANDLE h = CreateFileW((dir / L"f.txt").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr); CloseHandle(h); }
    EXPECT_TRUE(folder_has_entries(dir.wstring()));
    std::filesystem::remove_all(dir);
    EXPECT_FALSE(folder_has_entries(dir.wstring())); // missing: counts as empty
}

} // namespace
