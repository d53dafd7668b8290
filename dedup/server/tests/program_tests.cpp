// dedup.exe as a user runs it: a real process under Wine with its output captured (redirected to
// a file, so there is no console: the help is laid out at 80 columns and written as UTF-8).

#include "server_test_support.h"

#include <dedup/engine/root_folder.h>
#include <dedup/server/commands.h>
#include <dedup/server/console_output.h>

#include <ostrel/com/ptr.h>
#include <quillo/render.h>

#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <sstream>
#include <string>

namespace {

using server_test::run_dedup;
using server_test::to_utf8;

constexpr long invalid_argument = long(0x80070057); // Linux sees its low byte, 87

bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

std::wstring wquoted(const std::wstring& path) { return L"\"" + path + L"\""; }

const std::string logo = "Quvan Software Tovalind (Folder Deduplication Utility)\nVersion 1.00.00.0001\n\n";
const std::string help_start = "Command-line parameters:\n\ndedup.exe [OPTIONS] [folder1] [folder2] ...\n\nOptions:\n";

TEST(Program, NoArgumentsPrintsLogoMissingFolderAndHelp)
{
    auto r = run_dedup(L"");
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output.rfind(logo + "Command line error: missing deduplicated folder(s)\n" + help_start, 0), 0u)
        << r.output;
    // Without a console the help is laid out for 80 columns.
    std::istringstream lines(r.output);
    std::string line;
    while (std::getline(lines, line))
        EXPECT_LE(line.size(), 80u) << line;
    EXPECT_TRUE(contains(r.output, "== Create / open deduplicated folder == ")) << r.output;
    EXPECT_TRUE(contains(r.output, "== Logging ==")) << r.output;
    // --help alone is the same.
    EXPECT_EQ(run_dedup(L"--help").output, r.output);
}

TEST(Program, NologoWithAFolderAndNoCommandPrintsOnlyTheHelp)
{
    test_support::temp_folder dir;
    auto r = run_dedup(L"--nologo " + wquoted(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_EQ(r.output.rfind(help_start, 0), 0u) << r.output;
    EXPECT_FALSE(contains(r.output, "Quvan Software Tovalind"));
    EXPECT_FALSE(contains(r.output, "Command line error"));
}

TEST(Program, CommandLineErrors)
{
    test_support::temp_folder dir;
    const std::wstring f = wquoted(dir.path());
    struct case_t {
        std::wstring arguments;
        long exit_code;
        std::string output; // what the output ends with
    } cases[] = {
        {L"-e " + f + L" " + f, invalid_argument,
         "Command line error: --estimate command supports a single deduplicated folder only.\n"},
        {L"--optimize a b", invalid_argument,
         "Command line error: --optimize command supports a single deduplicated folder only.\n"},
        {L"-r a b", invalid_argument, "Command line error: --recover command supports a single deduplicated folder only.\n"},
        {L"-i a b", invalid_argument, "Command line error: --info command supports a single deduplicated folder only.\n"},
        {L"--delete a b", invalid_argument,
         "Command line error: --delete command supports a single deduplicated folder only.\n"},
        {L"-e --compression-level 13 " + f, invalid_argument,
         "Command line error: Unsupported compression level. Must be a value between 1 and 12.\n"},
        {L"-o --compression-level 0 " + f, invalid_argument,
         "Command line error: Unsupported compression level. Must be a value between 1 and 12.\n"},
        {L"--log-level verbose " + f, 0, "Error: Invalid logging level specified.\n"},
        {L"--compression-level x -e " + f, 0, "Error: Error converting to integer\n"},
        {L"--bogus " + f, 0, "Error: Invalid command line argument specified\n"},
        {L"--server --optimize-period 10m " + f, invalid_argument,
         "Command line error: --optimize-period must not be less than 15min.\n"},
        {L"--server --gc-period 14m " + f, invalid_argument, "Command line error: --gc-period must not be less than 15min.\n"},
        {L"--server --gc-period AUTO " + f, invalid_argument, "Command line error: error parsing --gc-period parameter.\n"},
        {L"--server --optimize-period 15 " + f, invalid_argument,
         "Command line error: error parsing --optimize-period parameter.\n"},
        {L"--server --optimize-period -5m " + f, invalid_argument,
         "Command line error: error parsing --optimize-period parameter.\n"},
        {L"--server --optimize-period 99999999999999999999m " + f, invalid_argument,
         "Command line error: error parsing --optimize-period parameter.\n"},
    };
    for (const auto& c : cases) {
        auto r = run_dedup(L"--nologo " + c.arguments);
        EXPECT_EQ(r.exit_code, c.exit_code) << to_utf8(c.arguments) << "\n" << r.output;
        ASSERT_GE(r.output.size(), c.output.size()) << to_utf8(c.arguments) << "\n" << r.output;
        EXPECT_EQ(r.output.substr(r.output.size() - c.output.size()), c.output) << to_utf8(c.arguments);
        if (c.exit_code == 0) {
            EXPECT_EQ(r.output.rfind(help_start, 0), 0u) << "help first: " << to_utf8(c.arguments);
        }
    }
}

// Periods the checks let through reach the server; none of the period messages appears. The folder
// does not exist and may not be created, so a server ends at once.
TEST(Program, AcceptedPeriodsReachTheServer)
{
    test_support::temp_folder dir;
    const std::wstring missing = wquoted(dir / L"missing");
    for (const wchar_t* periods : {L"--optimize-period 15m", L"--optimize-period OFF --gc-period OFF",
                                   L"--optimize-period 0m", L"--optimize-period 1d --gc-period 15m",
                                   L"--optimize-period 3000000000s", L"--optimize-period auto"}) {
        auto r = run_dedup(L"--nologo --no-create --server " + std::wstring(periods) + L" " + missing, std::chrono::seconds(30));
        EXPECT_NE(r.exit_code, invalid_argument) << to_utf8(periods) << "\n" << r.output;
        EXPECT_FALSE(contains(r.output, "Command line error")) << to_utf8(periods) << "\n" << r.output;
    }
}

TEST(Program, LogLevelWarningsAsTheHelpSpellsIt)
{
    test_support::temp_folder dir;
    auto r = run_dedup(L"--nologo --log-level warnings " + wquoted(dir.path()));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(contains(r.output, "Error:")) << r.output;
}

TEST(Program, ALogFileThatCannotBeOpenedEndsWithInvalidArgument)
{
    test_support::temp_folder dir;
    auto r = run_dedup(L"--nologo --log-path " + wquoted(dir / L"no\\such\\folder\\dedup.log") + L" -e " +
                       wquoted(dir.path()));
    EXPECT_EQ(r.exit_code, invalid_argument);
    EXPECT_TRUE(contains(r.output, "Error initializing logging system. Check that the log file path is correct and "
                                   "sufficient rights to access it are available to the current user.\nThis is a "
                                   "critical error. The server will now quit.\n"))
        << r.output;
    EXPECT_FALSE(contains(r.output, "Estimating")) << r.output;
}

// The estimate's summary shows the figures of the engine's own dry run of the same folder, its
// progress percentages overwrite each other (they end in a carriage return only), and with
// --server given as well only the estimate runs.
TEST(Program, EstimateSummaryEqualsTheDryRun)
{
    test_support::temp_folder dir;
    const std::wstring folder = dir / L"data";
    test_support::make_folder(folder);
    server_test::make_duplicated_files(folder, 8, 200'000);

    tavik::details::cancellation_source source;
    auto root = Ostrel::com::make<dedup::impl::root_folder>(source);
    auto dry = test_support::run(root->convert(folder, 7, source, {}));
    root = nullptr;
    ASSERT_TRUE(dry.has_value());

    auto r = run_dedup(L"--nologo --server -e " + wquoted(folder));
    EXPECT_EQ(r.exit_code, 0) << r.output;
    EXPECT_TRUE(contains(r.output, "Estimating the compression results for " + to_utf8(folder) + "...\r\n")) << r.output;
    EXPECT_FALSE(contains(r.output, "Server has been started")) << r.output;
    auto expect_line = [&](const std::wstring& line) {
        EXPECT_TRUE(contains(r.output, to_utf8(line))) << to_utf8(line) << "\n---\n" << r.output;
    };
    expect_line(quillo::format(L"Estimate on {0} completed in ", folder));
    expect_line(quillo::format(L"  Total files added: {0l}\n", dry->files_added));
    expect_line(quillo::format(L"  Total uncompressed data: {0} ({1l} bytes)\n",
                               dedup::impl::format_size(dry->uncompressed_size), dry->uncompressed_size));
    expect_line(quillo::format(L"  Total unique data: {0} ({1l} bytes)\n", dedup::impl::format_size(dry->unique_size),
                               dry->unique_size));
    expect_line(quillo::format(L"  Total compressed data (approx): {0} ({1l} bytes)\n",
                               dedup::impl::format_size(dry->compressed_size), dry->compressed_size));
    EXPECT_EQ(dry->files_added, 8u);
    EXPECT_LT(dry->unique_size, dry->uncompressed_size);
    EXPECT_TRUE(contains(r.output, "  Progress stage: ")) << r.output;
    EXPECT_TRUE(contains(r.output, " %  ...\r")) << r.output;
    EXPECT_FALSE(contains(r.output, " %  ...\r\n")) << r.output;
}

TEST(Program, RemoteCommandsWithoutAServerPrintTheirErrorAndExitZero)
{
    test_support::temp_folder dir;
    struct case_t {
        const wchar_t* option;
        const char* start;
    } cases[] = {
        {L"-o", "Starting a resync operation on "},
        {L"-r", "Starting a recover operation on "},
        {L"-i", "Requesting deduplicated information on "},
        {L"--delete", "Starting a delete operation on "},
    };
    for (const auto& c : cases) {
        auto r = run_dedup(L"--nologo " + std::wstring(c.option) + L" " + wquoted(dir.path()));
        EXPECT_EQ(r.exit_code, 0);
        EXPECT_TRUE(contains(r.output, c.start + to_utf8(dir.path()) + "...\r\n")) << r.output;
        EXPECT_TRUE(contains(r.output, "\tERROR\tError executing operation: ")) << r.output;
        EXPECT_TRUE(contains(r.output, "(0x80070002)\r\n")) << r.output;
    }
}

// A failure that is no HRESULT error (here the file-system error of making "" a full path) still
// prints its error line after the start line.
TEST(Program, AFailureOtherThanAnHresultErrorIsPrinted)
{
    server_test::recording_logger log;
    test_support::run(dedup::impl::optimize_command(L"", 7, {}));
    auto lines = log.lines();
    ASSERT_EQ(lines.size(), 2u) << to_utf8(log.all());
    EXPECT_EQ(lines[0].text, L"Starting a resync operation on ...\r\n");
    EXPECT_EQ(lines[1].level, 1);
    EXPECT_EQ(lines[1].text.rfind(L"Error executing operation: ", 0), 0u) << to_utf8(lines[1].text);
    EXPECT_NE(lines[1].text.find(L"(0x"), std::wstring::npos);
}

TEST(Program, ALogFileGetsTheLinesAndTheClosingLine)
{
    test_support::temp_folder dir;
    const std::wstring log = dir / L"dedup.log";
    auto r = run_dedup(L"--nologo --no-screen-log --log-level debug --log-path " + wquoted(log) + L" -e " +
                       wquoted(dir / L"missing"));
    EXPECT_EQ(r.exit_code, 0);
    EXPECT_FALSE(contains(r.output, "Estimating")) << r.output;
    auto bytes = test_support::read_file(log);
    std::wstring text(bytes.size() / 2, L'\0');
    std::memcpy(text.data(), bytes.data(), text.size() * 2);
    EXPECT_NE(text.find(L"\tDEBUG\tLogging system is initialized\r\n"), std::wstring::npos) << to_utf8(text);
    EXPECT_NE(text.find(L"\tINFO\tEstimating the compression results for "), std::wstring::npos);
    EXPECT_NE(text.find(L"=====\t=====\t=====\r\n"), std::wstring::npos);
}

} // namespace
