#include <platform/json/json.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using platform::json::parse;

TEST(Json, ReadsAnAnswerObject)
{
    const auto v = parse(R"( {"Version": 103010005, "Url": "https:\/\/example.test\/a b\u00e9", "x": [true, false, null, -1.5e2, {}]} )");
    ASSERT_TRUE(v);
    ASSERT_TRUE(v->is_object());
    ASSERT_NE(v->find(L"Version"), nullptr);
    EXPECT_EQ(*v->find(L"Version")->as_number(), 103010005.0);
    EXPECT_EQ(*v->find(L"Url")->as_string(), L"https://example.test/a b\u00e9");
    const auto* x = v->find(L"x")->as_array();
    ASSERT_NE(x, nullptr);
    ASSERT_EQ(x->size(), 5u);
    EXPECT_TRUE(*(*x)[0].as_bool());
    EXPECT_FALSE(*(*x)[1].as_bool());
    EXPECT_TRUE((*x)[2].is_null());
    EXPECT_EQ(*(*x)[3].as_number(), -150.0);
    EXPECT_TRUE((*x)[4].is_object());
    EXPECT_EQ(v->find(L"version"), nullptr); // names match exactly
    EXPECT_EQ(v->find(L"Version")->find(L"a"), nullptr);
}

TEST(Json, DecodesUtf8AndEscapesToUtf16)
{
    const auto v = parse("[\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\", \"\\ud83d\\ude00\\n\\t\\\"\\\\\\/\\b\\f\\r\"]");
    ASSERT_TRUE(v);
    const auto& a = *v->as_array();
    EXPECT_EQ(*a[0].as_string(), std::wstring(L"\u00e9\u20ac") + L"\xD83D\xDE00");
    EXPECT_EQ(*a[1].as_string(), std::wstring(L"\xD83D\xDE00") + L"\n\t\"\\/\b\f\r");
}

TEST(Json, RefusesWhatIsNotStrictJson)
{
    const char* bad[] = {
        "",                          // nothing
        "   ",                       //
        "{",                         // unfinished
        "{\"a\":1,}",                // trailing comma
        "[1,]",                      //
        "{\"a\" 1}",                 // no colon
        "{a:1}",                     // bare name
        "{'a':1}",                   // single quotes
        "01",                        // leading zero
        "-",                         //
        "1.",                        //
        ".5",                        //
        "1e",                        //
        "+1",                        //
        "NaN",                       //
        "Infinity",                  //
        "1e999",                     // not a finite double
        "tru",                       //
        "nul",                       //
        "\"a",                       // unterminated string
        "\"\t\"",                    // raw control character
        "\"\\x\"",                   // unknown escape
        "\"\\u12G4\"",               // bad hex
        "\"\\ud800\"",               // lone high surrogate
        "\"\\udc00\"",               // lone low surrogate
        "\"\\ud800\\u0041\"",        // high surrogate with no low one
        "\"\xC0\xAF\"",              // overlong
        "\"\xED\xA0\x80\"",          // encoded surrogate
        "\"\xF4\x90\x80\x80\"",      // above U+10FFFF
        "\"\xE2\x82\"",              // cut sequence
        "\"\x80\"",                  // stray continuation byte
        "\xEF\xBB\xBF{}",            // byte-order mark
        "{} {}",                     // two values
        "{}x",                       //
        "// c\n{}",                  // comment
        "{\"a\":1,\"a\":2}",         // the same member twice
    };
    for (const char* text : bad)
        EXPECT_FALSE(parse(text)) << text;
}

TEST(Json, NestingIsBounded)
{
    const std::string deep_ok = std::string(64, '[') + std::string(64, ']');
    EXPECT_TRUE(parse(deep_ok));
    const std::string too_deep = std::string(65, '[') + std::string(65, ']');
    EXPECT_FALSE(parse(too_deep));
    // Far past the bound: refused without exhausting the stack.
    const std::string hostile = std::string(1'000'000, '[');
    EXPECT_FALSE(parse(hostile));
}

TEST(Json, EmbeddedNulBytesAreNotEndOfText)
{
    using namespace std::string_view_literals;
    EXPECT_FALSE(parse("{}\0"sv));
    const auto v = parse("\"a\\u0000b\""sv);
    ASSERT_TRUE(v);
    EXPECT_EQ(*v->as_string(), std::wstring(L"a\0b", 3));
}

} // namespace
