#include <ostrel/d2d/d2dsupport.h>
#include <ostrel/d2d/markup.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace Ostrel::d2d;

struct expected_range {
    std::uint32_t start, length;
    wchar_t letter;
    std::uint32_t argument;
};

struct parse_case {
    const wchar_t* markup;
    const wchar_t* plain;
    std::vector<expected_range> ranges;
};

TEST(Markup, ParseTable)
{
    const std::vector<parse_case> cases = {
        {L"plain text", L"plain text", {}},
        {L"", L"", {}},
        {L"[[[bbold]]] rest", L"bold rest", {{0, 4, L'b', 0}}},
        {L"[[[b[[[s:120:big]]]]]]", L"big", {{0, 3, L's', 120}, {0, 3, L'b', 0}}},
        {L"a[[[b::x]]]", L"a::x", {{1, 3, L'b', 0}}},
        {L"[[[s:-50:half]]]", L"half", {{0, 4, L's', 50}}},
        {L"[[[hhttps://example.com]]]", L"https://example.com", {{0, 19, L'h', 0}}},
        {L"[[[zodd]]]", L"odd", {{0, 3, L'z', 0}}},
        // Unclosed tag: formats nothing, its text stays.
        {L"[[[bopen", L"open", {}},
        // Malformed markers stay text.
        {L"end[[[", L"end[[[", {}},
        {L"end[[[s:12", L"end[[[s:12", {}},
        {L"x[[[s:", L"x[[[s:", {}},
        {L"[[[s:1x:y]]]", L"[[[s:1x:y]]]", {}},
        {L"[[[w:99999999999:y]]]", L"[[[w:99999999999:y]]]", {}},
        {L"stray]]] text", L"stray]]] text", {}},
        {L"]]]", L"]]]", {}},
        {L"[[[b]]]]]]", L"]]]", {{0, 0, L'b', 0}}},
        {L"[[[", L"[[[", {}},
        {L"[[", L"[[", {}},
        {L"[[[[bx]]]", L"bx", {{0, 2, L'[', 0}}},
        {L"a[[[i[[[ub]]]c]]]d", L"abcd", {{1, 1, L'u', 0}, {1, 2, L'i', 0}}},
    };
    for (const parse_case& c : cases) {
        const parsed_markup p = parse_markup_ranges(c.markup);
        EXPECT_EQ(p.plain, c.plain) << c.markup;
        ASSERT_EQ(p.ranges.size(), c.ranges.size()) << c.markup;
        for (std::size_t i = 0; i < c.ranges.size(); ++i) {
            EXPECT_EQ(p.ranges[i].start, c.ranges[i].start) << c.markup;
            EXPECT_EQ(p.ranges[i].length, c.ranges[i].length) << c.markup;
            EXPECT_EQ(p.ranges[i].letter, c.ranges[i].letter) << c.markup;
            EXPECT_EQ(p.ranges[i].argument, c.ranges[i].argument) << c.markup;
        }
    }
}

TEST(Markup, EveryPrefixOfAMarkupParsesWithoutThrowing)
{
    const std::wstring markup = L"x[[[b[[[s:-120:{0}]]] [[[w:300:w]]][[[c:3:c]]][[[hlink]]]]]]y]]][[[";
    for (std::size_t n = 0; n <= markup.size(); ++n)
        for (std::size_t start = 0; start <= n; start += 3)
            EXPECT_NO_THROW((void)parse_markup_ranges(std::wstring_view(markup).substr(start, n - start)));
}

TEST(Markup, LinkColorParse)
{
    struct row {
        const wchar_t* text;
        std::array<std::uint32_t, 3> rgb;
    };
    for (const row& r : {row{L"", {0, 0, 255}}, row{L"0,0,255", {0, 0, 255}}, row{L"12,034,56", {12, 34, 56}},
                         row{L"300,1", {300, 1, 0}}, row{L"1,2,3,4", {1, 2, 3}}, row{L"x", {0, 0, 0}},
                         row{L"5,,7", {5, 0, 0}}, row{L"1,99999999999,3", {1, 0, 0}},
                         row{L"4294967295,1,2", {4294967295u, 1, 2}}, row{L" 1,2,3", {0, 0, 0}}})
        EXPECT_EQ(parse_link_color(r.text), r.rgb) << r.text;
}

class MarkupLayout : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(DWriteCreateFactory(DWRITE_FACTORY_TYPE_SHARED, __uuidof(IDWriteFactory),
                                      reinterpret_cast<IUnknown**>(&factory_)),
                  S_OK);
        ASSERT_EQ(factory_->CreateTextFormat(L"Tahoma", nullptr, DWRITE_FONT_WEIGHT_NORMAL, DWRITE_FONT_STYLE_NORMAL,
                                             DWRITE_FONT_STRETCH_NORMAL, 12.0f, L"en-us", &format_),
                  S_OK);
    }
    void TearDown() override
    {
        com_release(format_);
        com_release(factory_);
    }
    IDWriteFactory* factory_ = nullptr;
    IDWriteTextFormat* format_ = nullptr;
};

TEST_F(MarkupLayout, FormattingIsAppliedAndTheEnclosingTagWins)
{
    markup_text text;
    std::wstring plain;
    parse_markup(text, factory_, L"[[[b[[[s:200:AB]]]C]]][[[w:300:[[[w:600:D]]]]]][[[iE]]][[[hF]]][[[-G]]][[[c:3:H]]]",
                 format_, 500, 1000, &plain);
    ASSERT_NE(text.layout, nullptr);
    EXPECT_EQ(plain, L"ABCDEFGH");
    DWRITE_FONT_WEIGHT weight{};
    text.layout->GetFontWeight(0, &weight);
    EXPECT_EQ(weight, DWRITE_FONT_WEIGHT_BOLD);
    FLOAT size = 0;
    text.layout->GetFontSize(0, &size);
    EXPECT_FLOAT_EQ(size, 24.0f);
    text.layout->GetFontSize(2, &size);
    EXPECT_FLOAT_EQ(size, 12.0f);
    text.layout->GetFontWeight(3, &weight);
    EXPECT_EQ(weight, 300); // the enclosing w:300 closes last and wins
    DWRITE_FONT_STYLE style{};
    text.layout->GetFontStyle(4, &style);
    EXPECT_EQ(style, DWRITE_FONT_STYLE_ITALIC);
    BOOL underline = FALSE, strike = FALSE;
    text.layout->GetUnderline(5, &underline);
    EXPECT_TRUE(underline);
    text.layout->GetStrikethrough(6, &strike);
    EXPECT_TRUE(strike);
    DWRITE_FONT_STRETCH stretch{};
    text.layout->GetFontStretch(7, &stretch);
    EXPECT_EQ(stretch, 3);
    ASSERT_EQ(text.links.size(), 1u);
    EXPECT_EQ(text.links[0].startPosition, 5u);
    EXPECT_EQ(text.links[0].length, 1u);
}

TEST_F(MarkupLayout, RefusedValuesLeaveTheRangeUnchanged)
{
    markup_text text;
    parse_markup(text, factory_, L"[[[w:0:a]]][[[w:5000:b]]][[[c:0:c]]][[[c:10:d]]][[[s:0:e]]]", format_, 500);
    ASSERT_NE(text.layout, nullptr);
    for (UINT32 p = 0; p < 5; ++p) {
        DWRITE_FONT_WEIGHT weight{};
        DWRITE_FONT_STRETCH stretch{};
        FLOAT size = 0;
        text.layout->GetFontWeight(p, &weight);
        text.layout->GetFontStretch(p, &stretch);
        text.layout->GetFontSize(p, &size);
        EXPECT_EQ(weight, DWRITE_FONT_WEIGHT_NORMAL) << p;
        EXPECT_EQ(stretch, DWRITE_FONT_STRETCH_NORMAL) << p;
        EXPECT_FLOAT_EQ(size, 12.0f) << p;
    }
}

TEST_F(MarkupLayout, NoFormatGivesAnEmptyText)
{
    markup_text text;
    parse_markup(text, factory_, L"[[[bx]]]", format_, 100);
    ASSERT_NE(text.layout, nullptr);
    parse_markup(text, factory_, L"[[[hy]]]", nullptr, 100);
    EXPECT_EQ(text.layout, nullptr);
    EXPECT_TRUE(text.links.empty());
    parse_markup(text, nullptr, L"[[[hy]]]", format_, 100);
    EXPECT_EQ(text.layout, nullptr);
    // A negative width is refused by CreateTextLayout.
    parse_markup(text, factory_, L"[[[hy]]]", format_, -5);
    EXPECT_EQ(text.layout, nullptr);
    EXPECT_TRUE(text.links.empty());
}

TEST_F(MarkupLayout, LinkHitTestFollowsTheLinkRange)
{
    markup_text text;
    parse_markup(text, factory_, L"Visit [[[hexample.com]]] now", format_, 1000);
    ASSERT_NE(text.layout, nullptr);
    ASSERT_EQ(text.links.size(), 1u);
    // Positions of the clusters from the metrics: the middle of "Visit " and of "example.com".
    UINT32 count = 0;
    text.layout->GetClusterMetrics(nullptr, 0, &count);
    std::vector<DWRITE_CLUSTER_METRICS> clusters(count);
    ASSERT_EQ(text.layout->GetClusterMetrics(clusters.data(), count, &count), S_OK);
    float x = 0;
    std::vector<float> starts;
    for (const auto& c : clusters) {
        starts.push_back(x);
        x += c.width;
    }
    ASSERT_GE(starts.size(), 20u);
    EXPECT_EQ(text.link_at(starts[1] + 1, 5), -1);
    EXPECT_EQ(text.link_at(starts[8] + 1, 5), 0);
    EXPECT_EQ(text.link_at(starts[16] + 1, 5), 0);
    EXPECT_EQ(text.link_at(starts[18] + 1, 5), -1);
    EXPECT_EQ(text.link_at(x + 50, 5), -1);
    EXPECT_EQ(text.link_at(starts[8] + 1, 500), -1);
    EXPECT_EQ(text.link_at(-3, 5), -1);
    EXPECT_EQ(hit_test_position(text.layout, starts[8] + 1, 5), 8);
}

} // namespace
