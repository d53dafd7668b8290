// The option table, the log level and the period readers of the console program.

#include <dedup/server/program_options.h>

#include <ostrel/cmd_line.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using dedup::impl::parse_log_level;
using dedup::impl::parse_period;
using namespace Ostrel::cmd_line;

TEST(ProgramOptions, LogLevels)
{
    EXPECT_EQ(parse_log_level(L"critical"), 0);
    EXPECT_EQ(parse_log_level(L"error"), 1);
    EXPECT_EQ(parse_log_level(L"warning"), 2);
    // As the help spells it.
    EXPECT_EQ(parse_log_level(L"warnings"), 2);
    EXPECT_EQ(parse_log_level(L"info"), 3);
    EXPECT_EQ(parse_log_level(L"debug"), 4);
    for (const wchar_t* bad : {L"verbose", L"Info", L"", L"debug ", L"warn"}) {
        try {
            parse_log_level(bad);
            ADD_FAILURE() << "accepted";
        } catch (const Ostrel::cmd_line_syntax_error& e) {
            EXPECT_STREQ(e.what(), "Invalid logging level specified.");
        }
    }
}

TEST(ProgramOptions, Periods)
{
    using dedup::period_duration;
    struct case_t {
        const wchar_t* text;
        bool allow_auto;
        int kind;             // -1 failure, 0 off, 1 auto, 2 duration
        long long count = 0;  // 100-ns units
    } cases[] = {
        {L"AUTO", true, 1},
        {L"auto", true, 1},
        {L"AUTO", false, -1},
        {L"Auto", true, -1},
        {L"OFF", false, 0},
        {L"off", true, 0},
        {L"", true, -1},
        {L"15", true, -1},
        {L"15x", true, -1},
        {L"10m", true, 2, 6'000'000'000},
        {L"15m", true, 2, 9'000'000'000},
        {L"0m", true, 2, 0},
        {L"m", true, 2, 0},
        {L"15xm", true, 2, 9'000'000'000},
        {L"900s", true, 2, 9'000'000'000},
        {L"2h", true, 2, 72'000'000'000},
        {L"1d", false, 2, 864'000'000'000},
        // Wrapped negative in a 32-bit count, and past the 15-minute check.
        {L"3000000000s", true, 2, 30'000'000'000'000'000},
        // The largest count of seconds a signed 64-bit number of 100-ns units holds, and one more.
        {L"922337203685s", true, 2, 9'223'372'036'850'000'000},
        {L"922337203686s", true, -1},
        {L"10675199d", true, 2, 10675199LL * 864'000'000'000},
        {L"10675200d", true, -1},
        {L"99999999999999999999999m", true, -1},
        {L"-5m", true, -1},
        {L"-20d", false, -1},
    };
    for (const auto& c : cases) {
        auto p = parse_period(c.text, c.allow_auto);
        if (c.kind < 0) {
            EXPECT_FALSE(p.has_value()) << testing::PrintToString(std::wstring(c.text));
            continue;
        }
        ASSERT_TRUE(p.has_value()) << testing::PrintToString(std::wstring(c.text));
        ASSERT_EQ(int(p->index()), c.kind) << testing::PrintToString(std::wstring(c.text));
        if (c.kind == 2) {
            EXPECT_EQ(std::get<period_duration>(*p).count(), c.count);
        }
    }
}

TEST(ProgramOptions, TableInHelpOrderWithSectionsValueNamesAndReferences)
{
    option_table table;
    dedup::impl::define_options(table);
    const std::wstring help = format_help(table, 200);
    const wchar_t* in_order[] = {
        L"help",
        L"nologo",
        L"== Create / open deduplicated folder == ",
        L"algorithm-version",
        L"AUTO | OFF | Ns | Nm | Nh | Nd",
        L"OFF | Ns | Nm | Nh | Nd",
        L"== ESTIMATE command ==",
        L"Force specific algorithm version.",
        L"compression-level",
        L"== OPTIMIZE command ==",
        L"purge-placeholders",
        L"purge-blocks",
        L"Compression level. N should be between 1 and 12, default is 7.",
        L"== RECOVER command ==",
        L"== INFO command ==",
        L"== DELETE command ==",
        L"force",
        L"== Logging ==",
        L"LOGGING-LEVEL",
        L"no-screen-log",
    };
    std::size_t at = 0;
    for (const wchar_t* part : in_order) {
        const std::size_t found = help.find(part, at);
        ASSERT_NE(found, std::wstring::npos) << "missing after position " << at;
        at = found;
    }
    const option_record& level = find_option(table, L"log-level");
    EXPECT_EQ(level.description.size(), 263u);
    EXPECT_EQ(level.description.substr(level.description.size() - 23), L"Default value is \"info\"");
    EXPECT_EQ(find_option(table, L"gc-period").description,
              L"Garbage collection optimize operation period. Default is 1 day,  minimum 15 minutes.");
    EXPECT_EQ(find_option(table, L"help").short_name, L"?");
    EXPECT_EQ(find_option(table, L"estimate").short_name, L"e");
    EXPECT_EQ(find_option(table, L"optimize").short_name, L"o");
    EXPECT_EQ(find_option(table, L"recover").short_name, L"r");
    EXPECT_EQ(find_option(table, L"info").short_name, L"i");
    EXPECT_EQ(option_value_as_int(find_option(table, L"compression-level")), 7);
    EXPECT_EQ(option_value_as_int(find_option(table, L"algorithm-version")), 0);
    EXPECT_EQ(option_value_as_string_view(find_option(table, L"optimize-period")), L"AUTO");
    EXPECT_EQ(option_value_as_string_view(find_option(table, L"gc-period")), L"1d");
    EXPECT_EQ(option_value_as_string_view(find_option(table, L"log-level")), L"info");
    EXPECT_EQ(option_value_as_string_view(find_option(table, L"log-path")), L"");
}

} // namespace
