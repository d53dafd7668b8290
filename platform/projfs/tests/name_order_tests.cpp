// The file-name order of the file system, which the folder tree keeps its children in.

#include <platform/projfs/availability.h>

#include <gtest/gtest.h>

#include <map>

namespace {

int sign(int value)
{
    return (value > 0) - (value < 0);
}

struct order_case {
    const wchar_t* first;
    const wchar_t* second;
    int expected;  // sign of the comparison
};

const order_case order_cases[] = {
    {L"abc", L"ABC", 0},
    {L"File.TXT", L"file.txt", 0},
    {L"\u00e4pfel", L"\u00c4PFEL", 0},                  // Latin-1 letters fold
    {L"\u0434\u043e\u043c", L"\u0414\u041e\u041c", 0},  // Cyrillic
    {L"\u03c3\u03bf\u03c6\u03b9\u03b1", L"\u03a3\u039f\u03a6\u0399\u0391", 0},  // Greek
    {L"\u00ff", L"\u0178", 0},                           // a fold that leaves Latin-1
    {L"stra\u00dfe", L"STRASSE", 1},                     // no expansion of sharp s: one code unit each
    {L"a", L"a.txt", -1},                                // a prefix sorts first
    {L"abc", L"abcd", -1},
    {L"", L"a", -1},
    {L"_x", L"ax", 1},       // folded to upper case, '_' (0x5F) follows 'A' (0x41)
    {L"a b", L"a-b", -1},    // ' ' before '-'
    {L"z", L"\u00e4", -1},   // 'Z' before U+00C4
    {L"file10", L"file9", -1},  // by code unit, not by number
};

TEST(FileNameOrder, PlatformLayerIsReachable)
{
    EXPECT_TRUE(projfs::available());
}

TEST(FileNameOrder, MatchesTheTableBothWaysThroughEveryPath)
{
    for (const auto& c : order_cases) {
        SCOPED_TRACE(testing::Message() << "case \"" << testing::PrintToString(std::wstring(c.first)) << "\" vs \""
                                        << testing::PrintToString(std::wstring(c.second)) << "\"");
        EXPECT_EQ(sign(PrjFileNameCompare(c.first, c.second)), c.expected);
        EXPECT_EQ(sign(PrjFileNameCompare(c.second, c.first)), -c.expected);
        EXPECT_EQ(sign(projfs::file_name_compare(c.first, c.second)), c.expected);
        // The order used where the feature is missing is the same order.
        EXPECT_EQ(sign(projfs::ordinal_compare_ignore_case(c.first, c.second)), c.expected);
    }
}

TEST(FileNameOrder, OrderedMapKeepsFirstSpellingAndFileSystemOrder)
{
    std::map<std::wstring, int, projfs::file_name_less> names;
    names.emplace(L"b", 1);
    names.emplace(L"README.txt", 2);
    names.emplace(L"_notes", 3);
    names.emplace(L"readme.TXT", 4);  // the same name
    names.emplace(L"A", 5);
    ASSERT_EQ(names.size(), 4u);
    auto it = names.begin();
    EXPECT_EQ(it++->first, L"A");
    EXPECT_EQ(it++->first, L"b");
    EXPECT_EQ(it->first, L"README.txt");
    EXPECT_EQ(it++->second, 2);
    EXPECT_EQ(it++->first, L"_notes");
}

} // namespace
