#include <tolvane/properties.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tolvane;

TEST(Properties, NamesFoldOnlyAsciiLettersAndFirstWriterWins)
{
    property_table t;
    EXPECT_TRUE(t.add(L"ProductName", L"first"));
    EXPECT_FALSE(t.add(L"PRODUCTNAME", L"second"));
    EXPECT_EQ(t.get(L"productname", false), L"first");
    t.set(L"PRODUCTNAME", L"third");
    EXPECT_EQ(t.get(L"ProductName", false), L"third");
    EXPECT_EQ(t.size(), 1u);
    t.add(L"\u00C9T\u00C9", L"x");
    EXPECT_EQ(t.find(L"\u00E9t\u00E9"), nullptr); // only A-Z fold
    EXPECT_NE(t.find(L"\u00C9t\u00C9"), nullptr);
    EXPECT_EQ(t.get(L"unset", true), L"");
}

TEST(Properties, Expansion)
{
    property_table t;
    t.add(L"A", L"x$(B)y");
    t.add(L"B", L"z");
    t.add(L"Dir", L"C:\\\\Dir");
    t.add(L"Self", L"<$(self)>");
    t.add(L"Ping", L"$(pong)");
    t.add(L"Pong", L"p$(PING)");
    t.add(L"Twice", L"$(B)$(B)");
    t.add(L"Bad", L"a$(");

    struct expansion_case {
        std::wstring_view text;
        bool as_path;
        std::wstring_view expected;
    };
    const expansion_case cases[] = {
        {L"$(A)", false, L"xzy"},
        {L"[$(a)|$(B)]", false, L"[xzy|z]"},
        {L"$(Twice)", false, L"zz"},
        {L"<$(nothing)>", false, L"<>"},
        {L"$$(A)", false, L"$$(A)"},
        {L"$$(A)$(B)", false, L"$$(A)z"},
        {L"x$(A", false, L"{Invalid property syntax}"},
        {L"$(B)$(", false, L"{Invalid property syntax}"},
        {L"$()", false, L"{Invalid property syntax}"},
        {L"[$(Bad)]", false, L"[{Invalid property syntax}]"},
        {L"no references", false, L"no references"},
        // path form: doubled backslashes of a text without references are undone
        {L"C:\\\\Dir", true, L"C:\\Dir"},
        {L"\\\\\\server", true, L"\\\\server"},
        {L"$(Dir)", true, L"C:\\\\Dir"},
        {L"\\\\", true, L"\\\\"},
        // a loop expands to the invalid-syntax text instead of recursing without end
        {L"$(Self)", false, L"<{Invalid property syntax}>"},
        {L"$(Ping)", false, L"p{Invalid property syntax}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text.begin(), c.text.end()));
        EXPECT_EQ(expand_properties(t, c.text, c.as_path), c.expected);
    }
    EXPECT_EQ(t.get(L"Dir", true), L"C:\\Dir");
    EXPECT_EQ(t.get(L"Dir", false), L"C:\\\\Dir");
}

TEST(Properties, LongChainsStopAtTheDepthBound)
{
    property_table t;
    const int n = 5000; // deep enough to overflow the stack without a bound
    for (int i = 0; i < n; ++i)
        t.add(L"p" + std::to_wstring(i), L"$(p" + std::to_wstring(i + 1) + L")");
    t.add(L"p" + std::to_wstring(n), L"end");
    EXPECT_EQ(t.get(L"p0", false), L"{Invalid property syntax}");
    EXPECT_EQ(t.get(L"p" + std::to_wstring(n - 5), false), L"end");
}

TEST(Properties, HelpersFromTheTable)
{
    EXPECT_EQ(unescape_backslashes(L"\\"), L"\\");
    EXPECT_EQ(unescape_backslashes(L"a\\\\\\b"), L"a\\\\b");
    EXPECT_TRUE(iless(L"abc", L"ABD"));
    EXPECT_FALSE(iless(L"ABC", L"abc"));
    EXPECT_FALSE(iless(L"abc", L"ABC"));
    EXPECT_FALSE(iless(L"Z", L"a_"));
    EXPECT_TRUE(iless(L"_", L"A")); // "A" folds to "a", which sorts after "_"
    EXPECT_EQ(format_version_text(1, 2, 3, 45), L"1.02.03.0045");
    EXPECT_EQ(format_version_text(10, 123, 0, 123456), L"10.123.00.123456");
}

} // namespace
