#include <quillo/format_string.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

using quillo::bad_extended_format_string;
using quillo::format_item;
using quillo::parsed_format;

// A compact, readable picture of the items: L(run) for literals ('!' when the run holds "{{"),
// F<index> for fields followed by every attribute that differs from its default.
std::string describe(const parsed_format& parsed)
{
    std::string out;
    auto narrow = [](const wchar_t* p, std::size_t n) {
        std::string s;
        for (std::size_t i = 0; i < n; ++i)
            s.push_back(static_cast<char>(p[i]));
        return s;
    };
    for (const format_item& item : parsed.items()) {
        if (!out.empty())
            out += ' ';
        if (item.is_literal()) {
            out += "L(" + narrow(item.text, item.length) + ")";
            if (item.has_escapes)
                out += '!';
            continue;
        }
        out += "F" + std::to_string(item.argument_index);
        char buf[32];
        if (item.flags != 0) {
            std::snprintf(buf, sizeof buf, " f=%#x", item.flags);
            out += buf;
        }
        if (item.alignment != 0)
            out += " a" + std::to_string(item.alignment);
        if (item.width != 0)
            out += " w" + std::to_string(item.width);
        if (item.max_width != 0)
            out += " m" + std::to_string(item.max_width);
        if (item.precision != 0)
            out += " p" + std::to_string(item.precision);
        if (item.fill != L' ')
            out += std::string(" fill=") + static_cast<char>(item.fill);
        if (item.radix != 10)
            out += " r" + std::to_string(item.radix);
        if (item.flags & quillo::item_flags::type_text)
            out += " t=" + narrow(item.text, item.length);
    }
    return out;
}

std::string parse(const wchar_t* text)
{
    parsed_format parsed(text);
    return describe(parsed);
}

struct parse_case {
    const wchar_t* format;
    const char* items;
};

TEST(FormatStringTest, ParsesFormatsIntoItems)
{
    const parse_case cases[] = {
        {L"", ""},
        {L"abc", "L(abc)"},
        {L"{{", "L({{)!"},
        {L"a}}b", "L(a}}b)"},
        {L"a{{b{0}", "L(a{{b)! F0"},
        {L"{0}{{x", "F0 L({{x)!"},
        {L"{0}a{1}{{", "F0 L(a) F1 L({{)!"},
        {L"x{0}y", "L(x) F0 L(y)"},
        {L"{0}{1}", "F0 F1"},
        {L"{}{}{5}{}", "F0 F1 F5 F6"},
        {L"{3}{}", "F3 F4"},
        {L"{65537}", "F1"},
        {L"{0w,10}", "F0 m10"},
        {L"{0w10,20}", "F0 w10 m20"},
        {L"{0w}", "F0"},
        {L"{0w7}", "F0 w7"},
        {L"{0w2arf0}", "F0 a2 w2 fill=0"},
        {L"{3w4arf0}", "F3 a2 w4 fill=0"},
        {L"{0b016xp}", "F0 f=0x1044 r16"},
        {L"{0b16Xp}", "F0 f=0x1000 r16"},
        {L"{0b16p}", "F0 f=0x1000 r16"},
        {L"{0b8}", "F0 r8"},
        {L"{0b}", "F0 r0"},
        {L"{0b0}", "F0 f=0x40 r0"},
        {L"{0b272x}", "F0 f=0x4 r16"},
        {L"{1ub016x}", "F1 f=0x10044 r16"},
        {L"{0ax}", "F0"},
        {L"{0ac}", "F0 a1"},
        {L"{0aral}", "F0"},
        {L"{0f}}", "F0 fill=}"},
        {L"{0lp2}", "F0 f=0x10 p2"},
        {L"{4lp3}", "F4 f=0x10 p3"},
        {L"{0p}", "F0"},
        {L"{0s}", "F0 f=0x4000"},
        {L"{0sa}", "F0 f=0x8000"},
        {L"{0n+ce}", "F0 f=0x200b"},
        {L"{0u}", "F0 f=0x10000"},
        {L"{0t(ab)}", "F0 f=0x20 t=ab"},
        {L"{0t()w3}", "F0 f=0x20 w3 t="},
        {L"{1?<}dub{1?|}dcb{1?>}", "F1 f=0x900 L(dub) F1 f=0xc00 L(dcb) F1 f=0xa00"},
        {L"{0}.{1?<}dub{1?|}dcb{1?>}", "F0 L(.) F1 f=0x900 L(dub) F1 f=0xc00 L(dcb) F1 f=0xa00"},
        {L"{0?<}-{1}{2?<}, {2?>}{0?>}{2?<}--{3}{2?>}",
         "F0 f=0x900 L(-) F1 F2 f=0x900 L(, ) F2 f=0xa00 F0 f=0xa00 F2 f=0x900 L(--) F3 F2 f=0xa00"},
        // An unclosed section is allowed: the rest of the text belongs to it.
        {L"{0?<} (more)", "F0 f=0x900 L( (more))"},
        // A later letter overrides an earlier one writing the same attribute.
        {L"{0w3w5al}", "F0 w5"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "format #" << (&c - cases));
        EXPECT_EQ(parse(c.format), c.items);
    }
}

TEST(FormatStringTest, RejectsMalformedFields)
{
    const wchar_t* malformed[] = {
        L"{0?}", L"{0t}", L"{0t(ab}", L"{0k}", L"{0 }", L"abc{", L"{0w2", L"{0", L"{", L"{0?",
        L"{0a", L"{0f", L"{0t(", L"{0t(ab", L"{0b16", L"{0b16x", L"{0?x}", L"{0b10x}", L"{0p2x}",
        L"{-1}", L"{0}{1", L"{0w2,3x}",
        // Sections the renderer's truth stack cannot hold, or closes without an opening.
        L"{0?>}", L"{0?|}", L"a{0?<}b{0?>}{0?>}",
        L"{0?<}{1?<}{2?<}{3?<}{4?<}{5?<}{6?<}{7?<}{8?<}x",
    };
    for (const wchar_t* text : malformed) {
        SCOPED_TRACE(testing::Message() << "format #" << (&text - malformed));
        parsed_format parsed;
        EXPECT_THROW(parsed.parse_format(text), bad_extended_format_string);
    }
}

TEST(FormatStringTest, EightOpenSectionsAreAccepted)
{
    EXPECT_NO_THROW(parse(L"{0?<}{1?<}{2?<}{3?<}{4?<}{5?<}{6?<}{7?<}x{7?>}{6?>}{5?>}{4?>}{3?>}{2?>}{1?>}{0?>}"
                          L"{0?<}y{0?>}"));
}

TEST(FormatStringTest, NeverReadsPastTheEndOfTheText)
{
    // Each view stops just before the unit that would complete the field.
    const std::wstring text = L"{0w2}{0t(ab)}{0f}";
    const std::size_t cuts[] = {1, 2, 3, 4, 8, 11, 12, 16};
    for (std::size_t cut : cuts) {
        SCOPED_TRACE(cut);
        parsed_format parsed;
        EXPECT_THROW(parsed.parse_format(std::wstring_view(text).substr(0, cut)), bad_extended_format_string);
    }
}

TEST(FormatStringTest, ReparseReplacesItems)
{
    parsed_format parsed(L"{0}{1}{2}");
    ASSERT_EQ(parsed.items().size(), 3u);
    parsed.parse_format(L"abc");
    EXPECT_EQ(describe(parsed), "L(abc)");
    EXPECT_EQ(parsed.text(), L"abc");
}

TEST(FormatStringTest, MovingTakesTheItemsAndLeavesAnEmptyFormat)
{
    parsed_format source(L"x{0}y{1}");
    parsed_format target(std::move(source));
    EXPECT_EQ(describe(target), "L(x) F0 L(y) F1");
    EXPECT_TRUE(source.items().empty());

    parsed_format assigned(L"z");
    assigned = std::move(target);
    EXPECT_EQ(describe(assigned), "L(x) F0 L(y) F1");
    EXPECT_TRUE(target.items().empty());
    EXPECT_TRUE(target.text().empty());
}

TEST(FormatStringTest, BadFormatErrorIsNotAStandardException)
{
    static_assert(std::is_base_of_v<quillo::generic_exception, bad_extended_format_string>);
    static_assert(!std::is_base_of_v<std::exception, bad_extended_format_string>);
}

} // namespace
