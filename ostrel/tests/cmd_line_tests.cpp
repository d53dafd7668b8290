#include <ostrel/cmd_line.h>

#include <gtest/gtest.h>

#include <climits>
#include <optional>
#include <string>

namespace {

namespace cl = Ostrel::cmd_line;
using Ostrel::cmd_line_syntax_error;

std::string narrow(std::wstring_view text)
{
    std::string out;
    for (wchar_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

// The console program's option table, as it declares it.
struct dedup_options {
    cl::option_table table;
    cl::option_record* algorithm_reference = nullptr;

    dedup_options()
    {
        auto& help = cl::add_switch_with_short_name(table, L"?", L"help");
        help.description = L"Display command-line parameters.";
        cl::add_switch(table, L"nologo").description = L"Do not display the logo message.";
        auto& server = cl::add_switch(table, L"server");
        server.section_header = L"== Create / open deduplicated folder == ";
        server.description = L"Run as the folder server for the folders given.";
        auto& algorithm = cl::add_value_option(table, L"algorithm-version");
        algorithm.value_name = L"N";
        cl::set_default(algorithm, 0);
        algorithm.description = L"Force specific algorithm version. Only 1 is supported for now. 1 is the default.";
        cl::add_switch(table, L"adopt").description = L"Adopt an existing normal folder.";
        cl::add_switch(table, L"no-create").description =
            L"Do not attempt to create deduplicated folder if it does not exist.";
        auto& optimize_period = cl::add_value_option(table, L"optimize-period");
        optimize_period.value_name = L"AUTO | OFF | Ns | Nm | Nh | Nd";
        cl::set_default(optimize_period, std::wstring_view(L"AUTO"));
        optimize_period.description = L"Optimize operation period. Default is AUTO, minimum 15 minutes.";
        auto& gc_period = cl::add_value_option(table, L"gc-period");
        gc_period.value_name = L"OFF | Ns | Nm | Nh | Nd";
        cl::set_default(gc_period, std::wstring_view(L"1d"));
        gc_period.description = L"Garbage collection optimize operation period. Default is 1 day,  minimum 15 minutes.";
        auto& estimate = cl::add_switch_with_short_name(table, L"e", L"estimate");
        estimate.section_header = L"== ESTIMATE command ==";
        estimate.description = L"Estimate the resulting deduplicated and compressed size of a folder.";
        algorithm_reference = &cl::add_reference(table, L"algorithm-version");
        auto& level = cl::add_value_option(table, L"compression-level");
        level.value_name = L"N";
        cl::set_default(level, 7);
        level.description = L"Compression level. N should be between 1 and 12, default is 7.";
        auto& optimize = cl::add_switch_with_short_name(table, L"o", L"optimize");
        optimize.section_header = L"== OPTIMIZE command ==";
        optimize.description = L"Optimize deduplicated folder storage.";
        cl::add_switch(table, L"purge-placeholders").description = L"Delete file system placeholders.";
        cl::add_switch(table, L"purge-blocks").description = L"Delete unused storage blocks.";
        cl::add_reference(table, L"compression-level");
        auto& recover = cl::add_switch_with_short_name(table, L"r", L"recover");
        recover.section_header = L"== RECOVER command ==";
        recover.description = L"Recover deleted items.";
        auto& info = cl::add_switch_with_short_name(table, L"i", L"info");
        info.section_header = L"== INFO command ==";
        info.description = L"Dump deduplicated storage statistics.";
        auto& del = cl::add_switch(table, L"delete");
        del.section_header = L"== DELETE command ==";
        del.description = L"Delete deduplicated folder.";
        cl::add_switch(table, L"force").description = L"Force command execution.";
        auto& log_path = cl::add_value_option(table, L"log-path");
        log_path.value_name = L"path";
        cl::set_default(log_path, std::wstring_view(L""));
        log_path.section_header = L"== Logging ==";
        log_path.description = L"Full path to log file.";
        auto& log_level = cl::add_value_option(table, L"log-level");
        log_level.value_name = L"LOGGING-LEVEL";
        cl::set_default(log_level, std::wstring_view(L"info"));
        log_level.description = L"Set default logging level. LOGGING-LEVEL is one of the following:\n"
                                L"  critical - only critical errors\n"
                                L"  error    - all errors\n"
                                L"  warnings - errors and warnings\n"
                                L"  info     - informational messages\n"
                                L"  debug    - maximum information for debugging\n"
                                L"Default value is \"info\"";
        cl::add_switch(table, L"no-screen-log").description = L"Prevent copy of log to be shown on the screen.";
    }
};

// What a parse left: switches that are on and options that were given with their values, in
// definition order, then the free arguments.
std::string describe(const cl::option_table& table, std::initializer_list<const wchar_t*> names)
{
    std::string out;
    for (const wchar_t* name : names) {
        const cl::option_record& record = cl::find_option(table, name);
        if (!cl::is_set(record))
            continue;
        if (!out.empty())
            out += ' ';
        out += narrow(name);
        if (record.kind == cl::value_option) {
            out += '=';
            if (const auto* list = std::get_if<std::vector<std::wstring_view>>(&record.values)) {
                for (std::size_t i = 0; i < list->size(); ++i)
                    out += (i ? "," : "") + narrow((*list)[i]);
            } else {
                out += narrow(cl::option_value_as_string_view(record));
            }
        }
    }
    for (std::wstring_view free : cl::free_arguments(table))
        out += (out.empty() ? "[" : " [") + narrow(free) + "]";
    return out;
}

struct parse_case {
    const wchar_t* command_line;
    const char* expected; // describe() after the parse, or the error message
    bool ignore_errors = false;
};

void check_parses(cl::option_table& table, std::initializer_list<const wchar_t*> names,
                  std::initializer_list<parse_case> cases)
{
    for (const parse_case& c : cases) {
        SCOPED_TRACE(narrow(c.command_line));
        std::string got;
        try {
            cl::parse(table, c.command_line, c.ignore_errors);
            got = describe(table, names);
        } catch (const cmd_line_syntax_error& e) {
            got = std::string("error: ") + e.what();
        }
        EXPECT_EQ(got, c.expected);
    }
}

const std::initializer_list<const wchar_t*> dedup_names = {
    L"help", L"nologo", L"server", L"algorithm-version", L"optimize-period", L"estimate",
    L"compression-level", L"optimize", L"recover", L"log-path", L"log-level", L"no-screen-log"};

TEST(CmdLineTest, ParseTable)
{
    dedup_options o;
    check_parses(o.table, dedup_names, {
        {L"", ""},
        {L"dedup.exe", ""},
        {L"\"C:\\Program Files\\dedup.exe\" --nologo D:\\Data", "nologo [D:\\Data]"},
        {L"dedup.exe --nologo-", ""},
        {L"dedup.exe --nologo+", "nologo"},
        {L"dedup.exe --nologo --nologo-", ""},
        {L"dedup.exe --nologo- --nologo", "nologo"},
        {L"dedup.exe -?", "help"},
        {L"dedup.exe -?-", ""},
        {L"dedup.exe -e -o+ -r", "estimate optimize recover"},
        {L"dedup.exe   --server    D:\\a   D:\\b  ", "server [D:\\a] [D:\\b]"},
        // Value options take the next argument, whatever it starts with; the last one wins.
        {L"dedup.exe --log-level --nologo", "log-level=--nologo"},
        {L"dedup.exe --log-path a --log-path b", "log-path=b"},
        {L"dedup.exe --compression-level -12", "compression-level=-12"},
        {L"dedup.exe --log-path- x", "log-path=x"},
        {L"dedup.exe --log-level", "error: Command line argument's value is missing"},
        // Quoting: a quoted argument ends at its closing quote; elsewhere a quote is ordinary.
        {L"dedup.exe \"D:\\My Data\" x", "[D:\\My Data] [x]"},
        {L"dedup.exe \"D:\\a\"b", "[D:\\a] [b]"},
        {L"dedup.exe a\"b c", "[a\"b] [c]"},
        {L"dedup.exe \"\" x", "[] [x]"},
        {L"dedup.exe --log-path \"C:\\Log Files\\d.log\"", "log-path=C:\\Log Files\\d.log"},
        {L"dedup.exe \"D:\\open tail", "[D:\\open tail]"},
        {L"dedup.exe \"--nologo\"", "nologo"},
        // Unknown words, and names written with the wrong number of hyphens.
        {L"dedup.exe --colour", "error: Invalid command line argument specified"},
        {L"dedup.exe -help", "error: Invalid command line argument specified"},
        {L"dedup.exe --e", "error: Invalid command line argument specified"},
        {L"dedup.exe --Nologo", "error: Invalid command line argument specified"},
        // A bare hyphen must not reach the empty short name of the options that have none.
        {L"dedup.exe -", "error: Invalid command line argument specified"},
        {L"dedup.exe -+", "error: Invalid command line argument specified"},
        {L"dedup.exe --", "error: Invalid command line argument specified"},
        {L"dedup.exe --+", "error: Invalid command line argument specified"},
        {L"dedup.exe - -+ -- D:\\x", "[D:\\x]", true},
        // Ignored syntax errors skip just the failing argument.
        {L"dedup.exe --colour --nologo D:\\x", "nologo [D:\\x]", true},
        {L"dedup.exe --nologo --log-path", "nologo", true},
    });
}

TEST(CmdLineTest, HelpReferencesAreNotOptions)
{
    dedup_options o;
    const std::wstring word = L"dedup.exe --" + o.algorithm_reference->long_name;
    EXPECT_EQ(o.algorithm_reference->long_name.rfind(L"###ref", 0), 0u);
    EXPECT_THROW(cl::parse(o.table, word), cmd_line_syntax_error);
}

TEST(CmdLineTest, ReferencesAreNumberedFromAProcessWideCounter)
{
    cl::option_table table;
    cl::add_switch(table, L"a");
    const std::wstring first = cl::add_reference(table, L"a").long_name;
    const std::wstring second = cl::add_reference(table, L"a").long_name;
    const int n = std::stoi(first.substr(6));
    EXPECT_GE(n, 1);
    EXPECT_EQ(second, L"###ref" + std::to_wstring(n + 1));
}

TEST(CmdLineTest, FailedParseKeepsEarlierArgumentsAndNextParseResets)
{
    dedup_options o;
    EXPECT_THROW(cl::parse(o.table, L"dedup.exe --nologo --log-level debug --colour --server D:\\x"),
                 cmd_line_syntax_error);
    EXPECT_EQ(describe(o.table, dedup_names), "nologo log-level=debug");
    EXPECT_FALSE(o.table.parsed());

    cl::parse(o.table, L"dedup.exe D:\\y");
    EXPECT_EQ(describe(o.table, dedup_names), "[D:\\y]");
    EXPECT_TRUE(o.table.parsed());
    EXPECT_EQ(cl::option_value_as_string_view(cl::find_option(o.table, L"log-level")), L"info");
}

TEST(CmdLineTest, AnOptionWhoseValueIsMissingIsNotPresentWhenErrorsAreIgnored)
{
    dedup_options o;
    cl::parse(o.table, L"dedup.exe --log-path", true);
    const cl::option_record& log_path = cl::find_option(o.table, L"log-path");
    EXPECT_FALSE(log_path.present);
    EXPECT_EQ(cl::option_value_as_string_view(log_path), L"");
}

TEST(CmdLineTest, RequiredAndMultipleOptions)
{
    cl::option_table table;
    auto& prop = cl::add_value_option(table, L"prop");
    prop.multiple = true;
    auto& source = cl::add_value_option(table, L"source");
    source.required = true;
    cl::add_switch(table, L"silent");

    EXPECT_THROW(
        {
            try {
                cl::parse(table, L"setup.exe --silent");
            } catch (const cmd_line_syntax_error& e) {
                EXPECT_STREQ(e.what(), "Missing required parameters");
                throw;
            }
        },
        cmd_line_syntax_error);
    EXPECT_NO_THROW(cl::parse(table, L"setup.exe --silent", false, true));

    cl::parse(table, L"setup.exe --prop A=1 --source D:\\pkg --prop B=2");
    EXPECT_EQ(describe(table, {L"prop", L"source", L"silent"}), "prop=A=1,B=2 source=D:\\pkg");
    EXPECT_EQ(cl::option_value_as_string_view(prop), L"A=1");

    cl::parse(table, L"setup.exe --source x");
    EXPECT_FALSE(prop.present);
    EXPECT_TRUE(std::holds_alternative<bool>(prop.values));
}

// The installer registers options under one name that serves as short and long name.
TEST(CmdLineTest, SingleNameOptionsTakeOneOrTwoHyphens)
{
    cl::option_table table;
    cl::add_switch_with_short_name(table, L"silent", L"silent");
    cl::add_switch_with_short_name(table, L"u", L"u");
    cl::add_switch_with_short_name(table, L"uninstall", L"uninstall");
    cl::add_value_option_with_short_name(table, L"prop", L"prop").multiple = true;
    cl::add_switch(table, L"allow-error");
    const auto names = {L"silent", L"u", L"uninstall", L"prop", L"allow-error"};
    check_parses(table, names, {
        {L"setup.exe -silent -u", "silent u"},
        {L"setup.exe --silent --u", "silent u"},
        {L"setup.exe -uninstall -silent", "silent uninstall"},
        {L"setup.exe -prop A=1 --prop B=2", "prop=A=1,B=2"},
        {L"setup.exe --allow-error", "allow-error"},
        {L"setup.exe -allow-error", "error: Invalid command line argument specified"},
    });
}

TEST(CmdLineTest, LookupsAndDefaults)
{
    dedup_options o;
    cl::parse(o.table, L"dedup.exe --nologo");
    const cl::option_record& missing = cl::find_option(o.table, L"no-such-option");
    EXPECT_EQ(&missing, &o.table.header());
    EXPECT_FALSE(cl::is_set(missing));
    EXPECT_TRUE(cl::is_set(cl::find_option(o.table, L"nologo")));

    // Adding a long name again returns the existing record.
    cl::option_record& again = cl::add_value_option(o.table, L"nologo");
    EXPECT_EQ(&again, &cl::find_option(o.table, L"nologo"));
    EXPECT_EQ(again.kind, cl::switch_option);

    EXPECT_EQ(cl::option_value_as_int(cl::find_option(o.table, L"compression-level")), 7);
    EXPECT_EQ(cl::option_value_as_string_view(cl::find_option(o.table, L"optimize-period")), L"AUTO");
    // The default of the wrong type, and a value of the wrong kind.
    EXPECT_THROW(cl::option_value_as_int(cl::find_option(o.table, L"log-level")), std::bad_any_cast);
    EXPECT_THROW(cl::option_value_as_string_view(cl::find_option(o.table, L"compression-level")),
                 std::bad_any_cast);
    EXPECT_THROW(cl::option_value_as_string_view(cl::find_option(o.table, L"nologo")), std::bad_variant_access);

    static_assert(std::is_base_of_v<std::invalid_argument, cmd_line_syntax_error>);
}

TEST(CmdLineTest, IntegerValues)
{
    struct int_case {
        const wchar_t* value;
        std::optional<int> expected; // none: "Error converting to integer"
    };
    const int_case cases[] = {
        {L"", 0},
        {L"0", 0},
        {L"7", 7},
        {L"007", 7},
        {L"+7", 7},
        {L"-12", -12},
        {L"+", 0},
        {L"-", 0},
        {L"2147483647", INT_MAX},
        {L"-2147483648", INT_MIN},
        {L"+0000000000002147483647", INT_MAX},
        // Out of range values are refused instead of wrapping.
        {L"2147483648", std::nullopt},
        {L"-2147483649", std::nullopt},
        {L"4294967303", std::nullopt},
        {L"99999999999999999999999999", std::nullopt},
        {L"1x", std::nullopt},
        {L" 1", std::nullopt},
        {L"1 ", std::nullopt},
        {L"0x10", std::nullopt},
        {L"--1", std::nullopt},
        {L"1.5", std::nullopt},
        {L"\x0661", std::nullopt}, // ARABIC-INDIC DIGIT ONE is not a decimal digit here
    };
    dedup_options o;
    for (const int_case& c : cases) {
        SCOPED_TRACE(narrow(c.value));
        cl::parse(o.table, std::wstring(L"dedup.exe --compression-level \"") + c.value + L"\"");
        const cl::option_record& level = cl::find_option(o.table, L"compression-level");
        ASSERT_TRUE(level.present);
        if (c.expected) {
            EXPECT_EQ(cl::option_value_as_int(level), *c.expected);
        } else {
            try {
                cl::option_value_as_int(level);
                ADD_FAILURE() << "no error";
            } catch (const cmd_line_syntax_error& e) {
                EXPECT_STREQ(e.what(), "Error converting to integer");
            }
        }
    }
}

const wchar_t* const help_at_80 =
    LR"(    -?, --help                                          Display command-line
                                                        parameters.
    --nologo                                            Do not display the logo
                                                        message.

== Create / open deduplicated folder == 
    --server                                            Run as the folder
                                                        server for the folders
                                                        given.
    --algorithm-version N                               Force specific
                                                        algorithm version. Only
                                                        1 is supported for now.
                                                        1 is the default.
    --adopt                                             Adopt an existing
                                                        normal folder.
    --no-create                                         Do not attempt to
                                                        create deduplicated
                                                        folder if it does not
                                                        exist.
    --optimize-period AUTO | OFF | Ns | Nm | Nh | Nd    Optimize operation
                                                        period. Default is
                                                        AUTO, minimum 15
                                                        minutes.
    --gc-period OFF | Ns | Nm | Nh | Nd                 Garbage collection
                                                        optimize operation
                                                        period. Default is 1
                                                        day,  minimum 15
                                                        minutes.

== ESTIMATE command ==
    -e, --estimate                                      Estimate the resulting
                                                        deduplicated and
                                                        compressed size of a
                                                        folder.
    --algorithm-version N                               Force specific
                                                        algorithm version. Only
                                                        1 is supported for now.
                                                        1 is the default.
    --compression-level N                               Compression level. N
                                                        should be between 1 and
                                                        12, default is 7.

== OPTIMIZE command ==
    -o, --optimize                                      Optimize deduplicated
                                                        folder storage.
    --purge-placeholders                                Delete file system
                                                        placeholders.
    --purge-blocks                                      Delete unused storage
                                                        blocks.
    --compression-level N                               Compression level. N
                                                        should be between 1 and
                                                        12, default is 7.

== RECOVER command ==
    -r, --recover                                       Recover deleted items.

== INFO command ==
    -i, --info                                          Dump deduplicated
                                                        storage statistics.

== DELETE command ==
    --delete                                            Delete deduplicated
                                                        folder.
    --force                                             Force command
                                                        execution.

== Logging ==
    --log-path path                                     Full path to log file.
    --log-level LOGGING-LEVEL                           Set default logging
                                                        level. LOGGING-LEVEL is
                                                        one of the following:
                                                          critical - only
                                                        critical errors
                                                          error    - all errors
                                                          warnings - errors and
                                                        warnings
                                                          info     -
                                                        informational messages
                                                          debug    - maximum
                                                        information for
                                                        debugging
                                                        Default value is "info"
    --no-screen-log                                     Prevent copy of log to
                                                        be shown on the screen.
)";

const wchar_t* const help_at_30 =
    LR"(    -?, --help                                          Display
                                                        command-line
                                                        parameters.
    --nologo                                            Do not display the
                                                        logo message.

== Create / open deduplicated folder == 
    --server                                            Run as the folder
                                                        server for the
                                                        folders given.
    --algorithm-version N                               Force specific
                                                        algorithm version.
                                                        Only 1 is supported
                                                        for now. 1 is the
                                                        default.
    --adopt                                             Adopt an existing
                                                        normal folder.
    --no-create                                         Do not attempt to
                                                        create deduplicated
                                                        folder if it does
                                                        not exist.
    --optimize-period AUTO | OFF | Ns | Nm | Nh | Nd    Optimize operation
                                                        period. Default is
                                                        AUTO, minimum 15
                                                        minutes.
    --gc-period OFF | Ns | Nm | Nh | Nd                 Garbage collection
                                                        optimize operation
                                                        period. Default is
                                                        1 day,  minimum 15
                                                        minutes.

== ESTIMATE command ==
    -e, --estimate                                      Estimate the
                                                        resulting
                                                        deduplicated and
                                                        compressed size of
                                                        a folder.
    --algorithm-version N                               Force specific
                                                        algorithm version.
                                                        Only 1 is supported
                                                        for now. 1 is the
                                                        default.
    --compression-level N                               Compression level.
                                                        N should be between
                                                        1 and 12, default
                                                        is 7.

== OPTIMIZE command ==
    -o, --optimize                                      Optimize
                                                        deduplicated folder
                                                        storage.
    --purge-placeholders                                Delete file system
                                                        placeholders.
    --purge-blocks                                      Delete unused
                                                        storage blocks.
    --compression-level N                               Compression level.
                                                        N should be between
                                                        1 and 12, default
                                                        is 7.

== RECOVER command ==
    -r, --recover                                       Recover deleted
                                                        items.

== INFO command ==
    -i, --info                                          Dump deduplicated
                                                        storage statistics.

== DELETE command ==
    --delete                                            Delete deduplicated
                                                        folder.
    --force                                             Force command
                                                        execution.

== Logging ==
    --log-path path                                     Full path to log
                                                        file.
    --log-level LOGGING-LEVEL                           Set default logging
                                                        level.
                                                        LOGGING-LEVEL is
                                                        one of the
                                                        following:
                                                          critical - only
                                                        critical errors
                                                          error    - all
                                                        errors
                                                          warnings - errors
                                                        and warnings
                                                          info     -
                                                        informational
                                                        messages
                                                          debug    -
                                                        maximum information
                                                        for debugging
                                                        Default value is
                                                        "info"
    --no-screen-log                                     Prevent copy of log
                                                        to be shown on the
                                                        screen.
)";

TEST(CmdLineTest, HelpTextAtWidth80)
{
    dedup_options o;
    const std::wstring help = cl::format_help(o.table, 80);
    EXPECT_EQ(help, help_at_80) << narrow(help);
}

TEST(CmdLineTest, HelpTextAtWidth30)
{
    // Narrower than the names allow: descriptions keep the minimum width of 20.
    dedup_options o;
    const std::wstring help = cl::format_help(o.table, 30);
    EXPECT_EQ(help, help_at_30) << narrow(help);
}

TEST(CmdLineTest, HelpLayoutOfShortNamesHiddenEntriesAndLongWords)
{
    cl::option_table table;
    auto& help = cl::add_switch_with_short_name(table, L"?", L"help");
    help.description = L"Display command-line parameters.";
    auto& level = cl::add_value_option(table, L"log-level");
    level.value_name = L"LEVEL";
    level.section_header = L"== Logging ==";
    level.description = L"Set the level:\n  debug - everything\nA-word-longer-than-twenty-units stands alone.";
    cl::add_switch_with_short_name(table, L"q", L"").description = L"Short name only.";
    cl::add_switch(table, L"silent");
    cl::add_switch(table, L"secret").hidden = 1;
    cl::add_reference(table, L"log-level");

    // Name column 17 wide, so descriptions start at column 25 and lines stay under 20 units.
    const wchar_t* expected =
        LR"(    -?, --help           Display
                         command-line
                         parameters.

== Logging ==
    --log-level LEVEL    Set the level:
                           debug -
                         everything
                         A-word-longer-than-twenty-units
                         stands alone.
    -q                   Short name only.
    --silent             
    --log-level LEVEL    Set the level:
                           debug -
                         everything
                         A-word-longer-than-twenty-units
                         stands alone.
)";
    const std::wstring text = cl::format_help(table, 30);
    EXPECT_EQ(text, expected) << narrow(text);
}

TEST(CmdLineTest, HelpReferenceToMissingOptionIsAnError)
{
    cl::option_table table;
    cl::add_switch(table, L"a");
    cl::add_reference(table, L"missing");
    EXPECT_THROW(cl::format_help(table, 80), cmd_line_syntax_error);
}

} // namespace
