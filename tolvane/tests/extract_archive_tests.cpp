#include <tolvane/config_error.h>
#include <tolvane/extract_archive.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <windows.h>

#include <string>
#include <vector>

namespace {

using namespace tolvane;
using test_support::temp_folder;

std::wstring archives()
{
    wchar_t exe[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe, n);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"tolvane_archives\\";
}

std::string text_of(const std::wstring& path)
{
    auto b = test_support::read_file(path);
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

// Everything below a folder, files and folders, relative names.
void list_tree(const std::wstring& root, const std::wstring& prefix, std::vector<std::wstring>& out)
{
    WIN32_FIND_DATAW d;
    HANDLE h = FindFirstFileW((root + L"\\*").c_str(), &d);
    if (h == INVALID_HANDLE_VALUE)
        return;
    do {
        std::wstring name = d.cFileName;
        if (name == L"." || name == L"..")
            continue;
        out.push_back(prefix + name);
        if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            list_tree(root + L"\\" + name, prefix + name + L"\\", out);
    } while (FindNextFileW(h, &d));
    FindClose(h);
}

std::vector<std::wstring> tree(const std::wstring& root)
{
    std::vector<std::wstring> out;
    list_tree(root, L"", out);
    std::sort(out.begin(), out.end());
    return out;
}

TEST(ExtractArchive, UnpacksEveryEntryAlsoBehindOtherData)
{
    for (const wchar_t* name : {L"good.7z", L"prefixed.7z", L"lzma2.7z", L"lzma2_files.7z"}) {
        SCOPED_TRACE(std::string(name, name + wcslen(name)));
        temp_folder dir;
        extract_archive(archives() + name, dir.path(), nullptr);
        EXPECT_EQ(tree(dir.path()),
                  (std::vector<std::wstring>{L"Components", L"Components\\c1", L"Components\\c1\\a.dll",
                                             L"Components\\c1\\x64", L"Components\\c1\\x64\\b.dll", L"empty.txt",
                                             L"ro.txt", L"top.txt"}));
        EXPECT_EQ(text_of(dir / L"top.txt"), "top file\r\n");
        EXPECT_EQ(test_support::file_size(dir / L"Components\\c1\\a.dll"), 300000u);
        EXPECT_EQ(text_of(dir / L"Components\\c1\\x64\\b.dll"), "sixty-four");
        EXPECT_EQ(test_support::file_size(dir / L"empty.txt"), 0u);
        EXPECT_NE(GetFileAttributesW((dir / L"ro.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }
}

// A damaged archive fails the extraction with a named error instead of counting as a success.
TEST(ExtractArchive, DamagedArchivesFail)
{
    struct damaged_case {
        const wchar_t* name;
        HRESULT code;
        std::wstring where;
    };
    const damaged_case cases[] = {
        {L"missing.7z", HRESULT(0x80070002), L""},
        {L"notarchive.7z", HRESULT(0x8007000B), L""},
        {L"truncated.7z", HRESULT(0x80070570), L""},
        {L"badcrc.7z", HRESULT(0x80070017), L"entry \"top.txt\""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name, c.name + wcslen(c.name)));
        temp_folder dir;
        try {
            extract_archive(archives() + c.name, dir.path(), nullptr);
            ADD_FAILURE() << "extracted";
        } catch (const config_error& e) {
            EXPECT_EQ(e.code(), c.code);
            EXPECT_EQ(e.file(), archives() + c.name);
            EXPECT_EQ(e.where(), c.where);
            EXPECT_FALSE(e.expected().empty());
        }
    }
}

// A damaged byte in a block that is written while it is decoded: the extraction fails naming an
// entry, and the file it falls in, written in part, is removed; every file left is whole and right.
TEST(ExtractArchive, DamagedDataInADecodedBlockFails)
{
    temp_folder intact;
    extract_archive(archives() + L"lzma2.7z", intact.path(), nullptr);
    temp_folder dir;
    try {
        extract_archive(archives() + L"lzma2_damaged.7z", dir.path(), nullptr);
        ADD_FAILURE() << "extracted";
    } catch (const config_error& e) {
        EXPECT_TRUE(e.code() == HRESULT(0x80070017) || e.code() == HRESULT(0x80070570)) << std::hex << e.code();
        EXPECT_EQ(e.where().find(L"entry \""), 0u);
    }
    for (const std::wstring& name : tree(dir.path())) {
        if (GetFileAttributesW((dir / name).c_str()) & FILE_ATTRIBUTE_DIRECTORY)
            continue;
        SCOPED_TRACE(std::string(name.begin(), name.end()));
        EXPECT_TRUE(text_of(dir / name) == text_of(intact / name)) << "a file left with other bytes";
    }
}

// Hostile archives are refused before anything is written, inside or outside the target.
TEST(ExtractArchive, HostileArchivesWriteNothing)
{
    for (const wchar_t* name : {L"dotdot.7z", L"absolute.7z", L"backslash.7z", L"colon.7z", L"device_nul.7z",
                                L"device_aux.7z", L"link.7z", L"long.7z", L"mixed.7z"}) {
        SCOPED_TRACE(std::string(name, name + wcslen(name)));
        temp_folder dir;
        test_support::make_folder(dir / L"target");
        try {
            extract_archive(archives() + name, dir / L"target", nullptr);
            ADD_FAILURE() << "extracted";
        } catch (const config_error& e) {
            EXPECT_EQ(e.code(), HRESULT(0x8007007B));
            EXPECT_TRUE(e.where().starts_with(L"entry \""));
        }
        EXPECT_EQ(tree(dir.path()), std::vector<std::wstring>{L"target"});
    }
}

TEST(ExtractArchive, EntryNames)
{
    struct name_case {
        std::wstring name;
        std::uint32_t attributes;
        bool directory;
        bool accepted;
    };
    const name_case cases[] = {
        {L"ok.txt", 0, false, true},
        {L"Components/c1/x64/a.dll", 0x20, false, true},
        {L"Console.txt", 0, false, true},
        {L"COM10", 0, false, true},
        {L"dir/", 0x10, true, true},
        {L"../x", 0, false, false},
        {L"a/../../x", 0, false, false},
        {L"a/./b", 0, false, false},
        {L"a//b", 0, false, false},
        {L"/etc/x", 0, false, false},
        {L"C:/x", 0, false, false},
        {L"file.txt:stream", 0, false, false},
        {L"a\\b", 0, false, false},
        {L"NUL", 0, false, false},
        {L"aux.txt", 0, false, false},
        {L"sub/con", 0, false, false},
        {L"lpt9.log", 0, false, false},
        {L"com1", 0, false, false},
        {L"CONOUT$", 0, false, false},
        {L"nul .txt", 0, false, false},
        {L"name.", 0, false, false},
        {L"name ", 0, false, false},
        {L"a?b", 0, false, false},
        {L"", 0, false, false},
        {std::wstring(258, L'x'), 0, false, true},
        {std::wstring(259, L'x'), 0, false, false},
        {L"link", 0x20 | FILE_ATTRIBUTE_REPARSE_POINT, false, false},
        {L"link", 0x8000u | (0120777u << 16), false, false},
        {L"file", 0x8000u | (0100644u << 16), false, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
        EXPECT_EQ(check_archive_entry(c.name, c.attributes, c.directory).empty(), c.accepted);
    }
}

TEST(ExtractArchive, CancelStopsBeforeTheNextEntry)
{
    temp_folder dir;
    std::atomic<std::uint32_t> cancel{1};
    EXPECT_EQ(test_support::hresult_of([&] { extract_archive(archives() + L"good.7z", dir.path(), &cancel); }),
              HRESULT(0x800704C7));
    EXPECT_TRUE(tree(dir.path()).empty());
}

} // namespace
