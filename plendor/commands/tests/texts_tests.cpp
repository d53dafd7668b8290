#include <plendor/commands/texts.h>

#include <tavik/error.h>

#include <gtest/gtest.h>

namespace {

TEST(Texts, PercentEncodeTable)
{
    const std::pair<std::wstring, const wchar_t*> rows[] = {
        {L"introduction", L"introduction"},
        {L"A-z_0.9~", L"A-z_0.9~"},
        {L"a b/c?d#e%", L"a%20b%2Fc%3Fd%23e%25"},
        {L"\u00e9", L"%C3%A9"},
        {L"\u20ac", L"%E2%82%AC"},
        {std::wstring(L"\xD83D\xDE00"), L"%F0%9F%98%80"},
        {std::wstring(L"\xD800x"), L"%EF%BF%BDx"},   // lone high surrogate
        {std::wstring(L"\xDC00"), L"%EF%BF%BD"},     // lone low surrogate
        {std::wstring(L"\x7F\x80", 2), L"%7F%C2%80"},
        {std::wstring(L"\0", 1), L"%00"},
        {L"", L""},
    };
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(percent_encode(text), expected);
}

TEST(Texts, TimeLeftTable)
{
    const std::pair<double, const wchar_t*> rows[] = {
        {45, L"About 45 seconds left"},
        {60, L"About 1 minutes 0 seconds left"},
        {90, L"About 1 minutes 30 seconds left"},
        {3600, L"About 1 hours 0 minutes  left"},
        {7200, L"About 2 hours 0 minutes  left"},
        {100000, L"About 1 days 3 hours 46 minutes  left"},
        {0, L"About 0 seconds left"},
        {59.9, L"About 59 seconds left"},
        {-90, L"About 1 minutes 30 seconds left"},
    };
    for (const auto& [s, expected] : rows)
        EXPECT_EQ(format_time_left(s), expected) << s;
}

const wchar_t nb = L'\u00A0';

TEST(Texts, OptimizeResultExactText)
{
    dedup::resync_stats s{};
    s.uncompressed_size = 10737418240ull;
    s.unique_size = 2147483648ull;
    s.compressed_size = 1073741824ull;
    s.files_added = 1234;
    s.files_deleted = 5;
    s.folders_added = 67;
    s.folders_deleted = 8;
    s.placeholders_updated = 111;
    s.items_skipped = 9;
    const std::wstring expected = std::wstring(L"Optimize operation results:\n\n"
                                               L"  Total files added: 1,234\n"
                                               L"  Total files deleted: 5\n"
                                               L"  Total folders added: 67\n"
                                               L"  Total folders deleted: 8\n"
                                               L"  Total items skipped: 9\n"
                                               L"  Total processing time: 12.346 seconds\n\n"
                                               L"Current deduplicated folder statistics:\n\n"
                                               L"  Total uncompressed data: [[[b10.00") +
                                  nb + L"GB]]] (10,737,418,240 bytes)\n  Total unique data: [[[b2.00" + nb +
                                  L"GB]]] (2,147,483,648 bytes)\n    Deduplication ratio: [[[b1:5.00]]] (80.00 % saved)\n"
                                  L"  Total compressed data (approx): [[[b1.00" +
                                  nb + L"GB]]] (1,073,741,824 bytes)\n    Final compression ratio: [[[b1:10.00]]] (90.00 % saved)\n";
    EXPECT_EQ(format_optimize_result(s, 12.3456), expected);
}

TEST(Texts, OptimizeResultWithZeros)
{
    struct row {
        std::uint64_t u, q, p;
        const wchar_t* dedup_line;
        const wchar_t* compression_line;
    };
    const row rows[] = {
        {0, 0, 0, L"Deduplication ratio: [[[b1:1.00]]] (0.00 % saved)", L"Final compression ratio: [[[b1:1.00]]] (0.00 % saved)"},
        {0, 500, 700, L"Deduplication ratio: [[[b1:0.00]]] (0.00 % saved)", L"Final compression ratio: [[[b1:0.00]]] (0.00 % saved)"},
        {1000, 0, 250, L"Deduplication ratio: [[[b1:1.00]]] (100.00 % saved)", L"Final compression ratio: [[[b1:4.00]]] (75.00 % saved)"},
        {1000, 500, 0, L"Deduplication ratio: [[[b1:2.00]]] (50.00 % saved)", L"Final compression ratio: [[[b1:1.00]]] (100.00 % saved)"},
    };
    for (const row& r : rows) {
        dedup::resync_stats s{};
        s.uncompressed_size = r.u;
        s.unique_size = r.q;
        s.compressed_size = r.p;
        const std::wstring text = format_optimize_result(s, 0);
        EXPECT_NE(text.find(r.dedup_line), std::wstring::npos) << text;
        EXPECT_NE(text.find(r.compression_line), std::wstring::npos) << text;
        EXPECT_NE(text.find(L"Total processing time: 0.000 seconds"), std::wstring::npos) << text;
    }
}

TEST(Texts, RecoverAndErrorTexts)
{
    EXPECT_EQ(format_recover_result({3, 1}), L"3 files and 1 folders recovered.");
    const long hr = static_cast<long>(0x80070002);
    const std::wstring message = tavik::details::hresult_error_impl::message(hr);
    ASSERT_FALSE(message.empty());
    EXPECT_EQ(format_error_text(L"Unable to convert folder: {0} ({1ub016x}).", hr),
              L"Unable to convert folder: " + message + L" (0x80070002).");
}

TEST(Texts, Versions)
{
    const version_t own{1, 3, 0, 177};
    EXPECT_EQ(encode_version(own), 103000177u);
    EXPECT_EQ(decode_version(103000177u), own);
    EXPECT_EQ(decode_version(4294967295u), (version_t{42, 94, 96, 7295}));
    EXPECT_EQ(format_version_line(own), L"Version 1.03.00.0177");
    EXPECT_EQ(update_question_text({1, 3, 1, 5}), L"Tovalind 1.03.01.0005 is available. Do you want to upgrade now?");
    EXPECT_EQ(make_installer_command_line(L"C:\\t\\{AB}", 0x1234), L"\"C:\\t\\{AB}\" --wait-process 4660");
    // The test program's own version resource.
    EXPECT_EQ(read_own_version(), own);
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(read_own_version(reinterpret_cast<HMODULE>(0x1)), version_t{}); // no such module
}

} // namespace
