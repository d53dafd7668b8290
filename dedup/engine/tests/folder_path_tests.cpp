// Folder paths as they enter the product: full, without trailing separators except at a root.

#include <dedup/engine/folder_path.h>
#include <dedup/engine/store_names.h>

#include <gtest/gtest.h>

namespace {

struct strip_case {
    const wchar_t* given;
    const wchar_t* expected;
};

const strip_case strip_cases[] = {
    {L"D:\\Data", L"D:\\Data"},
    {L"D:\\Data\\", L"D:\\Data"},
    {L"D:\\Data\\\\", L"D:\\Data"},
    {L"D:\\Data/", L"D:\\Data"},
    {L"D:\\", L"D:\\"},
    {L"D:\\\\", L"D:\\"},
    {L"D:/", L"D:\\"},
    {L"\\", L"\\"},
    {L"", L""},
    {L"\\\\server\\share\\", L"\\\\server\\share\\"},
    {L"\\\\server\\share\\dir\\", L"\\\\server\\share\\dir"},
    {L"\\\\?\\C:\\", L"\\\\?\\C:\\"},
    {L"\\\\?\\C:\\x\\", L"\\\\?\\C:\\x"},
    {L"\\\\?\\UNC\\server\\share\\", L"\\\\?\\UNC\\server\\share\\"},
    {L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}\\",
     L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}\\"},
    {L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}\\Data\\",
     L"\\\\?\\Volume{12345678-1234-1234-1234-123456789abc}\\Data"},
};

TEST(FolderPath, StripsTrailingSeparatorsExceptAtARoot)
{
    for (const auto& c : strip_cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.given)));
        EXPECT_EQ(dedup::strip_trailing_separators(c.given), c.expected);
    }
}

TEST(FolderPath, OneFolderOneStoreBesideIt)
{
    EXPECT_EQ(dedup::full_folder_path(L"C:\\a\\b\\..\\c\\"), L"C:\\a\\c");
    EXPECT_EQ(dedup::store_folder_path(dedup::full_folder_path(L"D:\\Data\\")), L"D:\\Data.dedup");
    EXPECT_EQ(dedup::store_folder_path(dedup::full_folder_path(L"D:/Data//")), L"D:\\Data.dedup");
    EXPECT_EQ(dedup::full_folder_path(L"D:\\"), L"D:\\");
}

} // namespace
