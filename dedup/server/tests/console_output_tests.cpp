// The lines of the one-shot commands: progress, summary, sizes and error lines.

#include "server_test_support.h"

#include <dedup/server/console_output.h>

#include <quillo/render.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dedup::impl::format_size;
using dedup::impl::print_progress;
using dedup::impl::progress_state;

std::vector<std::wstring> texts(const server_test::recording_logger& log)
{
    std::vector<std::wstring> out;
    for (const auto& l : log.lines())
        out.push_back(l.text);
    return out;
}

TEST(ConsoleOutput, ProgressShowsEachNewStageOnceAndEveryPercentage)
{
    server_test::recording_logger log;
    progress_state state{L"D:\\Data", {}};
    print_progress(state, 0, L"Preparing", 0, 1);
    print_progress(state, 0, L"", 0, 1);
    print_progress(state, 0, L"Preparing", 0, 1);
    print_progress(state, 0, L"Searching for changes", 1, 2);
    print_progress(state, 0, L"", 1, 3);
    print_progress(state, 0, L"", 2, 3);
    EXPECT_EQ(texts(log), (std::vector<std::wstring>{
                              L"  Progress stage: Preparing\r\n", L"  Progress 0 %  ...\r", L"  Progress 0 %  ...\r",
                              L"  Progress 0 %  ...\r", L"  Progress stage: Searching for changes\r\n",
                              L"  Progress 50 %  ...\r", L"  Progress 33 %  ...\r", L"  Progress 66 %  ...\r"}));
    for (const auto& l : log.lines())
        EXPECT_EQ(l.level, 3);
}

// The engine reports (0, 0) before it has a total; a division by it would end the process.
TEST(ConsoleOutput, ProgressWithoutATotalShowsZero)
{
    server_test::recording_logger log;
    progress_state state;
    print_progress(state, 0, L"", 0, 0);
    print_progress(state, 0, L"", 5, 0);
    EXPECT_EQ(texts(log), (std::vector<std::wstring>{L"  Progress 0 %  ...\r", L"  Progress 0 %  ...\r"}));
}

TEST(ConsoleOutput, SizeTexts)
{
    const std::wstring nbsp = L"\u00A0";
    const std::wstring point = quillo::format(L"{0p2}", 1.5).substr(1, 1);
    struct case_t {
        std::uint64_t n;
        std::wstring text;
    } cases[] = {
        {0, L"0"},
        {1023, L"1" + quillo::format(L"{0l}", 1023u).substr(1)},
        {1024, L"1" + point + L"00" + nbsp + L"KB"},
        {1536, L"1" + point + L"50" + nbsp + L"KB"},
        {1048575, quillo::format(L"{0lp2}", 1048575.0 / 1024) + nbsp + L"KB"},
        {1048576, L"1" + point + L"00" + nbsp + L"MB"},
        {(1ull << 30) - 1, quillo::format(L"{0lp2}", double((1ull << 30) - 1) / (1 << 20)) + nbsp + L"MB"},
        {1ull << 30, L"1" + point + L"00" + nbsp + L"GB"},
        {3ull << 40, L"3" + point + L"00" + nbsp + L"TB"},
        {1ull << 50, quillo::format(L"{0lp2}", 1024.0) + nbsp + L"TB"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(format_size(c.n), c.text) << c.n;
}

TEST(ConsoleOutput, SummaryOfAResult)
{
    server_test::recording_logger log;
    dedup::resync_stats s;
    s.uncompressed_size = 4096;
    s.unique_size = 2048;
    s.compressed_size = 1024;
    s.files_added = 3;
    s.files_deleted = 1;
    s.folders_added = 2;
    s.folders_deleted = 0;
    s.items_skipped = 5;
    dedup::impl::print_summary(s, L"Estimate", L"D:\\Data", 1.25);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, 3);
    const std::wstring expected = quillo::format(
        L"Estimate on D:\\Data completed in {0lp3} seconds:\n\n  Total files added: 3\n  Total files deleted: 1\n"
        L"  Total folders added: 2\n  Total folders deleted: 0\n  Items skipped: 5\n\n"
        L"Current deduplicated folder statistics:\n\n"
        L"  Total uncompressed data: {1} ({2l} bytes)\n  Total unique data: {3} ({4l} bytes)\n"
        L"    Deduplication ratio: 1:{5p2} ({6p2} % saved)\n"
        L"  Total compressed data (approx): {7} ({8l} bytes)\n"
        L"    Final compression ratio: 1:{9p2} ({10p2} % saved)\n",
        1.25, format_size(4096), 4096u, format_size(2048), 2048u, 2.0, 50.0, format_size(1024), 1024u, 4.0, 75.0);
    EXPECT_EQ(log.lines()[0].text, expected);
}

TEST(ConsoleOutput, SummaryOfAnEmptyFolderHasRatiosOfOneAndNothingSaved)
{
    server_test::recording_logger log;
    dedup::impl::print_summary(dedup::resync_stats{}, L"Optimize", L"E:\\", 0.0);
    ASSERT_EQ(log.lines().size(), 1u);
    const std::wstring text = log.lines()[0].text;
    EXPECT_NE(text.find(quillo::format(L"Deduplication ratio: 1:{0p2} ({1p2} % saved)", 1.0, 0.0)), std::wstring::npos);
    EXPECT_NE(text.find(quillo::format(L"Final compression ratio: 1:{0p2} ({1p2} % saved)", 1.0, 0.0)),
              std::wstring::npos);
}

TEST(ConsoleOutput, AFailedResultPrintsOnlyTheProcessingError)
{
    server_test::recording_logger log;
    dedup::impl::print_summary(std::unexpected(long(0x80070420)), L"Optimize", L"D:\\Data", 1.0);
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0].level, 1);
    const std::wstring text = log.lines()[0].text;
    EXPECT_EQ(text.rfind(L"The following error occurred during processing: ", 0), 0u) << server_test::to_utf8(text);
    EXPECT_NE(text.find(L"(0x80070420).\r\n"), std::wstring::npos);
}

} // namespace
