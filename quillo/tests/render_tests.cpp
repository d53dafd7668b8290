#include <quillo/render.h>

#include <testing/support/child_process.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <climits>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <limits>
#include <string>
#include <vector>

namespace {

using quillo::argument;
using quillo::parsed_format;

// Golden texts are written for a locale whose separator is ',' and whose decimal point is '.';
// localised ones swap in what this machine's user locale has.
std::wstring localised(std::wstring text)
{
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L',') {
            if (quillo::thousands_separator() != 0)
                out.push_back(quillo::thousands_separator());
        } else if (c == L'.') {
            out.push_back(quillo::decimal_point());
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::wstring render(const wchar_t* format, std::vector<argument> args)
{
    parsed_format parsed(format);
    std::wstring out;
    quillo::render_arguments(parsed, args, out);
    return out;
}

struct render_case {
    const wchar_t* format;
    std::vector<argument> args;
    std::wstring expected;
    bool locale_dependent = false;
};

void check(const std::vector<render_case>& cases)
{
    for (std::size_t i = 0; i < cases.size(); ++i) {
        const render_case& c = cases[i];
        SCOPED_TRACE(testing::Message() << "case #" << i);
        const std::wstring expected = c.locale_dependent ? localised(c.expected) : c.expected;
        EXPECT_EQ(render(c.format, c.args), expected);
    }
}

const std::wstring ellipsis(1, L'\u2026');

TEST(RenderTest, TextFieldsAndLiterals)
{
    check({
        {L"", {}, L""},
        {L"plain", {}, L"plain"},
        {L"x{0}y", {L"abc"}, L"xabcy"},
        {L"{{{0}}}", {L"abc"}, L"{abc}}"},
        {L"{{0}} a{{b", {}, L"{0}} a{b"},
        {L"{1}-{0}", {L"a", L"b"}, L"b-a"},
        {L"{}{}{}", {L"a", L"b"}, L"ab"},
        // Fields beyond the pack render nothing and raise nothing.
        {L"[{5}]", {L"a"}, L"[]"},
        {L"[{0}]", {}, L"[]"},
        // A bool renders nothing outside a section, not even fill.
        {L"[{0}]", {true}, L"[]"},
        {L"[{0w5}]", {false}, L"[]"},
        {L"{0}", {std::wstring_view(L"view")}, L"view"},
    });
}

TEST(RenderTest, PaddingAndCutting)
{
    check({
        {L"[{0w5}]", {L"ab"}, L"[ab   ]"},
        {L"[{0w5ac}]", {L"ab"}, L"[ ab  ]"},
        {L"[{0w6ac}]", {L"ab"}, L"[  ab  ]"},
        {L"[{0w5ar}]", {L"ab"}, L"[   ab]"},
        {L"[{0w5arf*}]", {L"ab"}, L"[***ab]"},
        {L"[{0w2}]", {L"abc"}, L"[abc]"},
        {L"[{0w,4e}]", {L"abcdefg"}, L"[abc" + ellipsis + L"]"},
        {L"[{0w,4ace}]", {L"abcdefg"}, L"[abc" + ellipsis + L"]"},
        {L"[{0w,4ear}]", {L"abcdefg"}, L"[" + ellipsis + L"efg]"},
        {L"[{0w,4}]", {L"abcdefg"}, L"[abcd]"},
        {L"[{0w,4ar}]", {L"abcdefg"}, L"[defg]"},
        {L"[{0w,4e}]", {L"abcd"}, L"[abcd]"},
        {L"[{0w,1e}]", {L"abc"}, L"[" + ellipsis + L"]"},
        // Width applies only to a shorter text, the cut only to a longer one.
        {L"[{0w3,5}]", {L"ab"}, L"[ab ]"},
        {L"[{0w3,5}]", {L"abcd"}, L"[abcd]"},
        {L"[{0w3,5}]", {L"abcdefg"}, L"[abcde]"},
        {L"[{0w2arf0}]", {7u}, L"[07]"},
        {L"[{0w2arf0}]", {123u}, L"[123]"},
        {L"{0}.{1w2arf0}.{2w2arf0}.{3w4arf0}", {1u, 2u, 3u, 42u}, L"1.02.03.0042"},
    });
}

TEST(RenderTest, Integers)
{
    const std::int32_t int_min = INT_MIN;
    const std::int64_t int64_min = std::numeric_limits<std::int64_t>::min();
    const std::uint64_t u64_max = std::numeric_limits<std::uint64_t>::max();
    check({
        {L"{0}", {0u}, L"0"},
        {L"{0}", {4294967295u}, L"4294967295"},
        {L"{0}", {-17}, L"-17"},
        {L"{0+}", {17}, L"+17"},
        {L"{0+}", {0}, L"+0"},
        {L"{0+}", {17u}, L"17"},
        {L"{0+}", {-17}, L"-17"},
        {L"{0}", {int_min}, L"-2147483648"},
        {L"{0u}", {int_min}, L"2147483648"},
        {L"{0u}", {-1}, L"4294967295"},
        {L"{0b16}", {int_min}, L"-80000000"},
        {L"{0}", {int64_min}, L"-9223372036854775808"},
        {L"{0b016x}", {int64_min}, L"-0x8000000000000000"},
        {L"{0b2}", {int64_min}, L"-1" + std::wstring(63, L'0')},
        {L"{0b2}", {u64_max}, std::wstring(64, L'1')},
        {L"{0}", {u64_max}, L"18446744073709551615"},
        {L"{0b16}", {0x1234567890ull}, L"1234567890"},
        // Radix other than 2, 8 and 10 gives hexadecimal.
        {L"{0b}", {255u}, L"FF"},
        {L"{0b7}", {255u}, L"FF"},
        {L"{0b2}", {5u}, L"101"},
        {L"{0b02}", {5u}, L"101"},
        {L"{0b8}", {8u}, L"10"},
        {L"{0b2}", {-5}, L"-101"},
        {L"{0b8}", {-8}, L"-10"},
        {L"{0b2p3}", {0u}, L"0"},
        // Characters.
        {L"{0c}", {65u}, L"A"},
        {L"{0c}", {0x10041}, L"A"},
        {L"{0cw3ar}", {66ull}, L"  B"},
        // Unsigned 64-bit ignores a precision: byte counts below 1024 use "{0lp2}".
        {L"{0lp2}", {1023ull}, L"1,023", true},
    });
}

TEST(RenderTest, Hexadecimal)
{
    check({
        {L"{0b16}", {0xABCu}, L"ABC"},
        {L"{0b16x}", {0xABCu}, L"abc"},
        {L"{0b16X}", {0xABCu}, L"ABC"},
        {L"{1ub016x}", {L"x", 255}, L"0xff"},
        {L"{1ub016x}", {L"x", static_cast<long>(0x80070057)}, L"0x80070057"},
        {L"{1ub016x}", {L"x", -1}, L"0xffffffff"},
        {L"{0b016xp}", {255u}, L"0x000000ff"},
        {L"{0b016xp}", {0x80004005u}, L"0x80004005"},
        {L"{0b016}", {-26}, L"-0x1A"},
        {L"{0b016+}", {26}, L"+0x1A"},
        // Zero never takes the prefix.
        {L"{0b016}", {0u}, L"0"},
        {L"{0b016p}", {0u}, L"00000000"},
        {L"{0b16p}", {0xFFFFFFFFull}, L"FFFFFFFF"},
        {L"{0b16p}", {0x123456789ull}, L"0000000123456789"},
        {L"{0b016p}", {0x123456789ull}, L"0x0000000123456789"},
        {L"{0b016xp}", {std::numeric_limits<std::uint64_t>::max()}, L"0xffffffffffffffff"},
        {L"{0b016xpw12arf.}", {255u}, L"..0x000000ff"},
        // Prefix and filling belong to hexadecimal only.
        {L"{0b08}", {8u}, L"10"},
        {L"{0b010}", {10u}, L"10"},
    });
}

TEST(RenderTest, ThousandsGrouping)
{
    check({
        {L"{0l}", {0u}, L"0", true},
        {L"{0l}", {123u}, L"123", true},
        {L"{0l}", {1000u}, L"1,000", true},
        {L"{0l}", {1234567u}, L"1,234,567", true},
        {L"{0l}", {-1234567}, L"-1,234,567", true},
        {L"{0l}", {INT_MIN}, L"-2,147,483,648", true},
        {L"{0l}", {std::numeric_limits<std::uint64_t>::max()}, L"18,446,744,073,709,551,615", true},
        {L"{0l}", {std::numeric_limits<std::int64_t>::min()}, L"-9,223,372,036,854,775,808", true},
        {L"{0}", {1234567u}, L"1234567"},
        // Grouping is decimal only.
        {L"{0lb16}", {0x12345678u}, L"12345678"},
    });
}

TEST(RenderTest, Doubles)
{
    check({
        {L"{0lp2}", {1234.567}, L"1,234.57", true},
        {L"{0} {1} {2} {3} {4lp3}", {L"a", L"b", L"c", L"d", 2.5}, L"a b c d 2.500", true},
        {L"{0}", {1.5}, L"1.5000000000000000", true},
        {L"{0np2}", {1.5}, L"1.50"},
        {L"{0np2}", {0.0}, L"0.00"},
        {L"{0np2}", {-0.0}, L"0.00"},
        {L"{0np2}", {-0.25}, L"-0.25"},
        {L"{0np2}", {0.125}, L"0.13"},
        {L"{0np2}", {-1.999}, L"-2.00"},
        {L"{0np2+}", {1.5}, L"+1.50"},
        {L"{0np1}", {1.0 / 3}, L"0.3"},
        {L"{0lnp2w10ar}", {1234.5}, L"  1,234.50", true},
        {L"{0lp2}", {1536.0 / 1024}, L"1.50", true},
        // Precision beyond the rounding table is taken as 16.
        {L"{0np40}", {1.5}, L"1.5000000000000000"},
        // Radix other than 10: the integer part, then '?'.
        {L"{0np2b16}", {255.5}, L"FF?"},
        {L"{0np2b016x}", {-255.5}, L"-0xff?"},
        // Exponent forms.
        {L"{0np2s}", {1.5}, L"1.50e+0"},
        {L"{0np2sa}", {1e20}, L"1.00e+20"},
        {L"{0np2sa}", {0.0}, L"0.00"},
        {L"{0np2sa}", {1.5}, L"1.50"},
        {L"{0np2sa}", {0.001234}, L"1.23e-3"},
        {L"{0np2sa}", {-12345.0}, L"-1.23e+4"},
        {L"{0np2sa}", {5e-324}, L"4.94e-324"},
        // Values whose integer part does not fit 64 bits, and non-finite values.
        {L"{0np2}", {1e19}, L"1.00e+19"},
        {L"{0np2}", {-1e300}, L"-1.00e+300"},
        {L"{0np2}", {std::numeric_limits<double>::infinity()}, L"inf"},
        {L"{0np2}", {-std::numeric_limits<double>::infinity()}, L"-inf"},
        {L"{0np2}", {std::numeric_limits<double>::quiet_NaN()}, L"nan"},
        {L"{0np2}", {9.1e18}, L"9100000000000000000.00"},
        // The exponent form scales by exact powers of ten: all sixteen digits of a round value stay
        // exact.
        {L"{0nsa}", {1e17}, L"1.0000000000000000e+17"},
        {L"{0np16sa}", {3e20}, L"3.0000000000000000e+20"},
        {L"{0nsa}", {1e-20}, L"1.0000000000000000e-20"},
        {L"{0np2sa}", {-1e-300}, L"-1.00e-300"},
        {L"{0np2sa}", {1.7976931348623157e308}, L"1.80e+308"},
    });
}

TEST(RenderTest, ConditionalSections)
{
    const wchar_t* question = L"Do you want to {0?<}log off{0?|}restart{0?>} now?";
    const wchar_t* nested = L"{0?<}A{1?<}B{1?|}C{1?>}{0?>}";
    const wchar_t* name = L"{0?<}-{1}{2?<}, {2?>}{0?>}{2?<}--{3}{2?>}";
    check({
        {question, {true}, L"Do you want to log off now?"},
        {question, {false}, L"Do you want to restart now?"},
        {nested, {true, false}, L"AC"},
        {nested, {true, true}, L"AB"},
        {nested, {false, true}, L""},
        {nested, {false, false}, L""},
        {L"{0?<}x{1?<}y{1?|}z{1?>}w{0?|}v{0?>}.", {false, false}, L"v."},
        {L"{0}.{1?<}dub{1?|}dcb{1?>}", {L"17", true}, L"17.dub"},
        {L"{0}.{1?<}dub{1?|}dcb{1?>}", {L"17", false}, L"17.dcb"},
        {name, {true, L"?", true, L"help"}, L"-?, --help"},
        {name, {false, L"", true, L"nologo"}, L"--nologo"},
        {name, {true, L"u", false, L""}, L"-u"},
        {L"{0?<}\n{1}\n{0?>}    {2}", {true, L"== Logging ==", L"--log-path path"},
         L"\n== Logging ==\n    --log-path path"},
        {L"{0?<}\n{1}\n{0?>}    {2}", {false, L"ignored", L"--force"}, L"    --force"},
        {L"{0?<}{1?<}{2?<}{3?<}{4?<}{5?<}{6?<}{7?<}deep{7?>}{6?>}{5?>}{4?>}{3?>}{2?>}{1?>}{0?>}!",
         {true, true, true, true, true, true, true, true}, L"deep!"},
        {L"{0?<}{1?<}{2?<}{3?<}{4?<}{5?<}{6?<}{7?<}deep{7?>}{6?>}{5?>}{4?>}{3?>}{2?>}{1?>}{0?>}!",
         {true, true, true, true, true, true, true, false}, L"!"},
        // Fields inside a false section render nothing.
        {L"{0?<}[{1}]{0?>}", {false, L"x"}, L""},
        // A section whose opening field is skipped (no argument) must not unbalance the stack.
        {L"{5?<}a{0?>}b", {true}, L"ab"},
        {L"{0?<}a{1?<}b{1?>}c{0?>}d", {true, L"text"}, L"atextbtextcd"},
    });
}

TEST(RenderTest, LongTextsUseTheHeapAndKeepWorking)
{
    const std::wstring long_text(1000, L'q');
    std::vector<argument> args{long_text, 1234567u, std::wstring_view(long_text).substr(0, 200), 2.5};
    const std::wstring out = render(L"{0}|{1}|{2w300ar}|{3np1}|{0w,5e}", args);
    EXPECT_EQ(out, long_text + L"|1234567|" + std::wstring(100, L' ') + std::wstring(200, L'q') + L"|2.5|qqqq" +
                       ellipsis);
}

TEST(RenderTest, NamedInstances)
{
    std::wstring out;
    quillo::render_no_arguments(parsed_format(L"a{{b{0}"), out);
    EXPECT_EQ(out, L"a{b");

    out.clear();
    quillo::render_1_wstring(parsed_format(L"Optimize operation started on {}\r\n"), L"D:\\Data", out);
    EXPECT_EQ(out, L"Optimize operation started on D:\\Data\r\n");

    out.clear();
    quillo::render_4_int(parsed_format(L"Version {0}.{1w2arf0}.{2w2arf0}.{3w4arf0}"), 1, 2, 3, 4, out);
    EXPECT_EQ(out, L"Version 1.02.03.0004");

    out.clear();
    quillo::render_4_args(parsed_format(L"Deduplicated folder {0} failed with error {1ub016x} at stage {2}: {3}\r\n"),
                          L"D:\\Data", static_cast<std::int32_t>(0x80070005), 3, L"Access is denied.", out);
    EXPECT_EQ(out, L"Deduplicated folder D:\\Data failed with error 0x80070005 at stage 3: Access is denied.\r\n");

    EXPECT_EQ(quillo::format_into_wstring(L"{}", 42), L"42");
    EXPECT_EQ(quillo::format_into_string(L"{1} ({0})", -5, L"msg"), L"msg (-5)");

    // Output is appended, never replaced.
    out = L"keep:";
    quillo::render(parsed_format(L"{0}"), out, 7);
    EXPECT_EQ(out, L"keep:7");
}

// The formats the console program and the store engine render, with the argument types they pass.
TEST(RenderTest, FormatsOfTheProgram)
{
    const std::wstring group = localised(L",");
    const std::wstring point = localised(L".");
    const std::int32_t access_denied = static_cast<std::int32_t>(0x80070005);
    const std::int32_t cancelled = static_cast<std::int32_t>(0x800704C7);
    check({
        // Log line: day, month, year, hour, minute, second, level name, text.
        {L"{0w2arf0}.{1w2arf0}.{2} {3w2arf0}:{4w2arf0}:{5w2arf0}\t{6}\t{7}",
         {8, 12, 2026, 19, 3, 7, L"DEBUG", L"Logging system is initialized\r\n"},
         L"08.12.2026 19:03:07\tDEBUG\tLogging system is initialized\r\n"},
        {L"{0w2arf0}.{1w2arf0}.{2} {3w2arf0}:{4w2arf0}:{5w2arf0}\t{6}\t{7}",
         {31, 1, 2027, 0, 59, 0, L"INFO", L"x"}, L"31.01.2027 00:59:00\tINFO\tx"},
        // Logo.
        {L"Quvan Software Tovalind (Folder Deduplication Utility)\nVersion {0}.{1w2arf0}.{2w2arf0}.{3w4arf0}\n\n",
         {1u, 2u, 345u, 6u}, L"Quvan Software Tovalind (Folder Deduplication Utility)\nVersion 1.02.345.0006\n\n"},
        {L"Version {0}.{1w2arf0}.{2w2arf0}.{3w4arf0}", {0u, 0u, 0u, 0u}, L"Version 0.00.00.0000"},
        {L"Version {0}.{1w2arf0}.{2w2arf0}.{3w4arf0}", {10u, 12u, 99u, 12345u}, L"Version 10.12.99.12345"},
        // Help page.
        {L"Command-line parameters:\n\ndedup.exe [OPTIONS] [folder1] [folder2] ...\n\nOptions:\n{}\n",
         {L"    --nologo    Do not display the logo message.\n"},
         L"Command-line parameters:\n\ndedup.exe [OPTIONS] [folder1] [folder2] ...\n\nOptions:\n"
         L"    --nologo    Do not display the logo message.\n\n"},
        // Block folders and block files: block 1025, compressed, is 1.dcb in folder 1.
        {L"{}", {std::uint64_t{1025} >> 10}, L"1"},
        {L"{0}.{1?<}dub{1?|}dcb{1?>}", {1025u & 0x3FF, false}, L"1.dcb"},
        {L"{0}.{1?<}dub{1?|}dcb{1?>}", {1023u, true}, L"1023.dub"},
        {L"{0}.{1?<}dub{1?|}dcb{1?>}", {0u, true}, L"0.dub"},
        // Store engine log lines.
        {L"Optimize operation started on {}\r\n", {L"D:\\Data"}, L"Optimize operation started on D:\\Data\r\n"},
        {L"Optimize operation completed with error {0ub016x}: {1}.\r\n", {access_denied, L"Access is denied."},
         L"Optimize operation completed with error 0x80070005: Access is denied..\r\n"},
        {L"Recover operation completed with error {0ub016x}: {1}.\r\n", {1, L""},
         L"Recover operation completed with error 0x1: .\r\n"},
        {L"Running scheduled task for {}\r\n", {L"E:\\"}, L"Running scheduled task for E:\\\r\n"},
        {L"ERROR! Detected hash collision for {}", {L"a\\b{0}.txt"}, L"ERROR! Detected hash collision for a\\b{0}.txt"},
        // Folder provider failure.
        {L"Deduplicated folder {0} failed with error {1ub016x} at stage {2}: {3}\r\n",
         {L"D:\\Data", cancelled, 0, L"The operation was canceled by the user."},
         L"Deduplicated folder D:\\Data failed with error 0x800704c7 at stage 0: The operation was canceled by the user.\r\n"},
        // One-shot commands.
        {L"Starting a resync operation on {0}...\r\n", {L"D:\\Data"}, L"Starting a resync operation on D:\\Data...\r\n"},
        {L"Error executing operation: {0} ({1ub016x})\r\n", {L"", cancelled},
         L"Error executing operation:  (0x800704c7)\r\n"},
        {L"The following error occurred during processing: {0} ({1ub016x}).\r\n",
         {L"Unspecified error", static_cast<std::int32_t>(0x80004005)},
         L"The following error occurred during processing: Unspecified error (0x80004005).\r\n"},
        {L"Recover operation completed successfully. {0l} files and {1l} folders have been recovered.\r\n",
         {1234u, 5u},
         L"Recover operation completed successfully. 1" + group + L"234 files and 5 folders have been recovered.\r\n"},
        {L"Approximate deduplicated folder statistics:\n  Uncompressed data size : {0l}\n  Unique size : {1l}\n"
         L"  Compressed size : {2l}\n  Unique block count : {3l}\n",
         {std::uint64_t{5000000000}, std::uint64_t{999}, std::uint64_t{0}, std::uint64_t{1000}},
         L"Approximate deduplicated folder statistics:\n  Uncompressed data size : 5" + group + L"000" + group +
             L"000" + group + L"000\n  Unique size : 999\n  Compressed size : 0\n  Unique block count : 1" + group +
             L"000\n"},
        // Progress lines: the percentage is never grouped.
        {L"  Progress stage: {0}\r\n", {L"Preparing"}, L"  Progress stage: Preparing\r\n"},
        {L"  Progress {0} %  ...\r", {std::uint64_t{100}}, L"  Progress 100 %  ...\r"},
        {L"  Progress {0} %  ...\r", {std::uint64_t{12345}}, L"  Progress 12345 %  ...\r"},
        // Size texts: a count below 1024 as a grouped integer, above it a double with two digits.
        {L"{0lp2}", {std::uint64_t{0}}, L"0"},
        {L"{0lp2}\u00A0{1}", {1536.0 / 1024, L"KB"}, L"1" + point + L"50\u00A0KB"},
        {L"{0lp2}\u00A0{1}", {1048575.0 / 1024, L"KB"}, L"1" + group + L"024" + point + L"00\u00A0KB"},
        {L"{0lp2}\u00A0{1}", {5000.0, L"TB"}, L"5" + group + L"000" + point + L"00\u00A0TB"},
        // Help layout patterns.
        {L"###ref{0}", {1}, L"###ref1"},
        {L"###ref{0}", {12}, L"###ref12"},
        {L"{0}{1?<} {2}{1?>}", {L"--log-path", true, L"path"}, L"--log-path path"},
        {L"{0}{1?<} {2}{1?>}", {L"--nologo", false, L""}, L"--nologo"},
    });
}

TEST(RenderTest, OptimizeSummary)
{
    const wchar_t* summary =
        L"{16} on {15} completed in {4lp3} seconds:\n\n  Total files added: {0l}\n  Total files deleted: {2l}\n"
        L"  Total folders added: {1l}\n  Total folders deleted: {3l}\n  Items skipped: {17l}\n\n"
        L"Current deduplicated folder statistics:\n\n  Total uncompressed data: {5} ({6l} bytes)\n"
        L"  Total unique data: {7} ({8l} bytes)\n    Deduplication ratio: 1:{11p2} ({12p2} % saved)\n"
        L"  Total compressed data (approx): {9} ({10l} bytes)\n    Final compression ratio: 1:{13p2} ({14p2} % saved)\n";
    ASSERT_EQ(std::wstring_view(summary).size(), 460u);

    // Sizes 2 GB, 1 GB and 512 MB: ratios 2 and 4, savings 50 % and 75 %.
    const std::uint64_t total = std::uint64_t{2} << 30;
    const std::uint64_t unique = std::uint64_t{1} << 30;
    const std::uint64_t compressed = std::uint64_t{512} << 20;
    const std::wstring size_total = L"2.00\u00A0GB";
    const std::wstring size_unique = L"1.00\u00A0GB";
    const std::wstring size_compressed = L"512.00\u00A0MB";
    const std::wstring expected =
        L"Optimize on D:\\Data completed in 1,234.568 seconds:\n\n  Total files added: 1,234\n"
        L"  Total files deleted: 0\n  Total folders added: 5\n  Total folders deleted: 2\n  Items skipped: 3\n\n"
        L"Current deduplicated folder statistics:\n\n  Total uncompressed data: SIZE0 (2,147,483,648 bytes)\n"
        L"  Total unique data: SIZE1 (1,073,741,824 bytes)\n    Deduplication ratio: 1:2.00 (50.00 % saved)\n"
        L"  Total compressed data (approx): SIZE2 (536,870,912 bytes)\n"
        L"    Final compression ratio: 1:4.00 (75.00 % saved)\n";
    // Every '.' and ',' of the expected text is a number's, so the locale's own replace them; the size
    // texts are rendered by their own format and go in afterwards.
    std::wstring localised_expected = localised(expected);
    const std::wstring sizes[] = {size_total, size_unique, size_compressed};
    for (int i = 0; i < 3; ++i) {
        const std::wstring marker = L"SIZE" + std::to_wstring(i);
        localised_expected.replace(localised_expected.find(marker), marker.size(), sizes[i]);
    }

    const double t = static_cast<double>(total);
    const double u = static_cast<double>(unique);
    const double c = static_cast<double>(compressed);
    std::wstring out;
    quillo::render(parsed_format(summary), out, 1234u, 5u, 0u, 2u, 1234.5678, size_total, total, size_unique, unique,
                   size_compressed, compressed, t / u, 100 - u * 100 / t, t / c, 100 - c * 100 / t,
                   std::wstring_view(L"D:\\Data"), std::wstring_view(L"Optimize"), 3u);
    EXPECT_EQ(out, localised_expected);

    // An empty folder: ratios 1, savings 0.
    out.clear();
    const std::wstring zero = L"0";
    quillo::render(parsed_format(L"1:{11p2} ({12p2} % saved) 1:{13p2} ({14p2} % saved)"), out, 0u, 0u, 0u, 0u, 0.0,
                   zero, std::uint64_t{0}, zero, std::uint64_t{0}, zero, std::uint64_t{0}, 1.0, 100.0 - 100.0, 1.0,
                   100.0 - 100.0);
    EXPECT_EQ(out, localised(L"1:1.00 (0.00 % saved) 1:1.00 (0.00 % saved)"));
}

TEST(RenderTest, LogHelpers)
{
    // A message is itself a format: escaped braces collapse and fields vanish.
    EXPECT_EQ(quillo::log_message_text(L"Set {{x}} to {0}\r\n"), L"Set {x}} to \r\n");
    // Data with braces must go through the formatted helper, where it is inserted unchanged.
    EXPECT_EQ(quillo::log_formatted_text(L"Opening {0}\r\n", L"C:\\a{1}b{"), L"Opening C:\\a{1}b{\r\n");
    EXPECT_THROW(quillo::log_message_text(L"Opening C:\\a{"), quillo::bad_extended_format_string);
}

// Run in a child process started with LANG set (below): the user locale must still be read, and
// rendering numbers must not throw. Prints what went wrong, or what it rendered.
int render_numbers_with_lang_set(const test_support::child_arguments&)
{
    char lang[64] = {};
    if (GetEnvironmentVariableA("LANG", lang, sizeof lang) == 0) {
        std::printf("LANG is not set\n");
        return 1;
    }
    wchar_t separator[16] = {};
    wchar_t point[16] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_STHOUSAND, separator, 16) == 0 ||
        GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, point, 16) == 0) {
        std::printf("LANG=%s: the user locale cannot be read: error %lu\n", lang, GetLastError());
        return 2;
    }
    std::wstring out;
    try {
        out = quillo::format(L"{0l} {1lp2}", 1234567u, 1234.5);
    } catch (const std::exception& e) {
        std::printf("LANG=%s: rendering threw: %s\n", lang, e.what());
        return 3;
    } catch (...) {
        std::printf("LANG=%s: rendering threw\n", lang);
        return 3;
    }
    const std::wstring expected = std::wstring(L"1") + separator[0] + L"234" + separator[0] + L"567 1" +
                                  separator[0] + L"234" + point[0] + L"50";
    std::printf("LANG=%s rendered: %ls expected: %ls\n", lang, out.c_str(), expected.c_str());
    return out == expected ? 0 : 4;
}
const test_support::child_role locale_child(L"quillo-locale", render_numbers_with_lang_set);

TEST(LocaleTest, NumbersRenderWithLangSetInTheEnvironment)
{
    const auto child =
        test_support::run_self_as_child(L"quillo-locale", {}, {.environment = {{L"LANG", L"de_DE.UTF-8"}}});
    EXPECT_EQ(child.exit_code, 0) << child.output;
    EXPECT_NE(child.output.find("LANG=de_DE.UTF-8 rendered: "), std::string::npos) << child.output;
}

} // namespace
