#include <dedup/engine/store_names.h>

#include <gtest/gtest.h>

namespace dedup {
namespace {

TEST(StoreNames, PathsOfTheStoreFiles)
{
    EXPECT_EQ(store_folder_path(L"D:\\Data"), L"D:\\Data.dedup");
    EXPECT_EQ(lock_file_path(L"D:\\Data.dedup"), L"D:\\Data.dedup\\lock");
    EXPECT_EQ(file_info_path(L"D:\\Data.dedup"), L"D:\\Data.dedup\\files.deinfo");
    EXPECT_EQ(block_folder_path(L"D:\\Data.dedup"), L"D:\\Data.dedup\\blocks");
    EXPECT_EQ(block_index_path(L"D:\\Data.dedup\\blocks"), L"D:\\Data.dedup\\blocks\\blocks.ddb");
    EXPECT_EQ(replacement_path(L"x\\blocks.ddb"), L"x\\blocks.ddb.new");
    EXPECT_EQ(backup_path(L"x\\files.deinfo"), L"x\\files.deinfo.backup");
}

TEST(StoreNames, BlockFilesAreNumberedInFoldersOf1024)
{
    struct {
        std::uint64_t number;
        bool uncompressed;
        const wchar_t* path;
    } cases[] = {
        {0, false, L"B\\0\\0.dcb"},       {1023, false, L"B\\0\\1023.dcb"}, {1024, false, L"B\\1\\0.dcb"},
        {1025, false, L"B\\1\\1.dcb"},    {1025, true, L"B\\1\\1.dub"},     {5 * 1024 + 7, true, L"B\\5\\7.dub"},
        {~0ull, false, L"B\\18014398509481983\\1023.dcb"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        EXPECT_EQ(block_file_path(L"B", c.number, c.uncompressed), c.path);
        auto folder = parse_block_subfolder_name(block_subfolder_name(c.number));
        auto file = parse_block_file_name(block_file_name(c.number, c.uncompressed));
        ASSERT_TRUE(folder && file);
        EXPECT_EQ(block_file_number(*folder, file->index), c.number);
        EXPECT_EQ(file->uncompressed, c.uncompressed);
    }
}

TEST(StoreNames, ParsersAcceptOnlyCanonicalNames)
{
    // Each of these would alias a real block file, or is no block file at all.
    for (const wchar_t* name : {L"", L".dcb", L"01.dcb", L"00.dcb", L"1024.dcb", L"1500.dcb", L"+1.dcb", L"-1.dcb",
                                L"1.DCB", L"1.Dub", L"1.dcb ", L" 1.dcb", L"1.dcbx", L"1.dcb.new", L"1", L"1..dcb",
                                L"99999999999999999999.dcb", L"1e3.dcb", L"\x0661.dcb"})
        EXPECT_FALSE(parse_block_file_name(name)) << name;
    for (const wchar_t* name : {L"", L"01", L"00", L"+1", L"1.x", L"1 ", L"a", L"18014398509481984",
                                L"99999999999999999999999"})
        EXPECT_FALSE(parse_block_subfolder_name(name)) << name;

    EXPECT_EQ(parse_block_file_name(L"0.dcb")->index, 0u);
    EXPECT_EQ(parse_block_file_name(L"1023.dub")->index, 1023u);
    EXPECT_EQ(*parse_block_subfolder_name(L"0"), 0u);
    EXPECT_EQ(*parse_block_subfolder_name(L"18014398509481983"), 18014398509481983ull);
}

} // namespace
} // namespace dedup
