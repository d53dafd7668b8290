#include <tolvane/config_error.h>
#include <tolvane/package_source.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <windows.h>

#include <string>

namespace {

using namespace tolvane;

const GUID source_id{0x0F1E2D3C, 0x4B5A, 0x6978, {0x87, 0x96, 0xA5, 0xB4, 0xC3, 0xD2, 0xE1, 0xF0}};

std::wstring archives()
{
    wchar_t exe[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe, n);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"tolvane_archives\\";
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class PackageSource : public ::testing::Test {
protected:
    test_support::temp_folder dir;
    void put(const wchar_t* archive)
    {
        ASSERT_TRUE(CopyFileW((archives() + archive).c_str(), (dir / format_archive_name(source_id)).c_str(), FALSE));
    }
};

TEST_F(PackageSource, UnpacksIntoAFolderOfItsOwnAndRemovesIt)
{
    EXPECT_EQ(format_archive_name(source_id), L"{0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0}.7z");
    put(L"good.7z");
    std::wstring folder;
    {
        package_source source(source_id, dir.path(), false, tavik::details::cancellation_source{});
        source.wait();
        folder = source.extraction_folder();
        ASSERT_FALSE(folder.empty());
        EXPECT_TRUE(exists(folder + L"\\Components\\c1\\x64\\b.dll"));
    }
    EXPECT_FALSE(exists(folder));
}

// A damaged archive fails the wait with its error: the installation does not go on with half a folder.
TEST_F(PackageSource, AFailedExtractionFailsTheWait)
{
    for (const wchar_t* archive : {L"badcrc.7z", L"truncated.7z", L"dotdot.7z"}) {
        SCOPED_TRACE(std::string(archive, archive + wcslen(archive)));
        put(archive);
        std::wstring folder;
        {
            package_source source(source_id, dir.path(), false, tavik::details::cancellation_source{});
            EXPECT_LT(test_support::hresult_of([&] {
                          try {
                              source.wait();
                          } catch (const config_error& e) {
                              throw tavik::details::traceable_error(e.code());
                          }
                      }),
                      0);
            folder = source.extraction_folder();
        }
        EXPECT_FALSE(exists(folder));
    }
}

TEST_F(PackageSource, SkippedAndCancelled)
{
    put(L"good.7z");
    {
        package_source skipped(source_id, dir.path(), true, tavik::details::cancellation_source{});
        skipped.wait();
        EXPECT_TRUE(skipped.extraction_folder().empty());
    }
    tavik::details::cancellation_source cancelled;
    cancelled.cancel();
    package_source source(source_id, dir.path(), false, cancelled);
    EXPECT_EQ(test_support::hresult_of([&] { source.wait(); }), HRESULT(0x800704C7));
}

} // namespace
