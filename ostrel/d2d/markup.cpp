#include <ostrel/d2d/markup.h>

#include <cmath>
#include <utility>

namespace Ostrel::d2d {
namespace {

constexpr std::wstring_view open_marker = L"[[[";
constexpr std::wstring_view close_marker = L"]]]";
constexpr std::uint32_t outermost = 0xFFFFFFFFu;

// Reads the tag that starts at text[0] == '['. Returns the units it takes, or 0 when it is malformed.
std::size_t read_tag(std::wstring_view text, wchar_t& letter, std::uint32_t& argument) noexcept
{
    std::size_t p = open_marker.size();
    if (p >= text.size())
        return 0;
    letter = text[p++];
    argument = 0;
    if (p < text.size() && text[p] == L':') {
        if (p + 1 < text.size() && text[p + 1] == L':')
            return p; // "::" stays in the text, argument 0
        std::size_t q = p + 1;
        if (q < text.size() && text[q] == L'-')
            ++q;
        std::uint64_t number = 0;
        while (q < text.size() && text[q] >= L'0' && text[q] <= L'9') {
            number = number * 10 + static_cast<unsigned>(text[q] - L'0');
            if (number > 0xFFFFFFFFu)
                return 0;
            ++q;
        }
        if (q >= text.size() || text[q] != L':')
            return 0;
        argument = static_cast<std::uint32_t>(number);
        return q + 1;
    }
    return p;
}

void apply(IDWriteTextLayout* layout, const markup_range& r, float base_size, std::vector<DWRITE_TEXT_RANGE>& links)
{
    const DWRITE_TEXT_RANGE range{r.start, r.length};
    // DirectWrite refuses values out of its ranges and leaves the text as it was; the checks keep
    // those values from reaching it at all.
    switch (r.letter) {
    case L'b': layout->SetFontWeight(DWRITE_FONT_WEIGHT_BOLD, range); break;
    case L'w':
        if (r.argument >= 1 && r.argument <= 999)
            layout->SetFontWeight(static_cast<DWRITE_FONT_WEIGHT>(r.argument), range);
        break;
    case L'i': layout->SetFontStyle(DWRITE_FONT_STYLE_ITALIC, range); break;
    case L'c':
        if (r.argument >= 1 && r.argument <= 9)
            layout->SetFontStretch(static_cast<DWRITE_FONT_STRETCH>(r.argument), range);
        break;
    case L's': {
        const float size = static_cast<float>(r.argument) * base_size * 0.01f;
        if (std::isfinite(size) && size > 0.0f)
            layout->SetFontSize(size, range);
        break;
    }
    case L'u': layout->SetUnderline(TRUE, range); break;
    case L'-': layout->SetStrikethrough(TRUE, range); break;
    case L'h':
        layout->SetUnderline(TRUE, range);
        links.push_back(range);
        break;
    default: break;
    }
}

} // namespace

parsed_markup parse_markup_ranges(std::wstring_view text)
{
    parsed_markup out;
    struct tag {
        std::uint32_t start;
        wchar_t letter;
        std::uint32_t argument;
    };
    tag current{outermost, 0, 0};
    std::vector<tag> stack;
    while (!text.empty()) {
        const std::size_t o = std::min(text.find(open_marker), text.size());
        const std::size_t c = std::min(text.find(close_marker), text.size());
        if (o < c) {
            wchar_t letter = 0;
            std::uint32_t argument = 0;
            const std::size_t taken = read_tag(text.substr(o), letter, argument);
            if (taken == 0) {
                out.plain.append(text.substr(0, o + open_marker.size()));
                text.remove_prefix(o + open_marker.size());
                continue;
            }
            out.plain.append(text.substr(0, o));
            stack.push_back(current);
            current = tag{static_cast<std::uint32_t>(out.plain.size()), letter, argument};
            text.remove_prefix(o + taken);
        } else if (c < o) {
            if (stack.empty()) {
                out.plain.append(text.substr(0, c + close_marker.size()));
                text.remove_prefix(c + close_marker.size());
                continue;
            }
            out.plain.append(text.substr(0, c));
            out.ranges.push_back(markup_range{current.start, static_cast<std::uint32_t>(out.plain.size()) - current.start,
                                              current.letter, current.argument});
            text.remove_prefix(c + close_marker.size());
            current = stack.back();
            stack.pop_back();
        } else {
            out.plain.append(text);
            break;
        }
    }
    return out;
}

markup_text::markup_text(markup_text&& o) noexcept : layout(std::exchange(o.layout, nullptr)), links(std::move(o.links)) {}

markup_text& markup_text::operator=(markup_text&& o) noexcept
{
    if (this != &o) {
        release();
        layout = std::exchange(o.layout, nullptr);
        links = std::move(o.links);
    }
    return *this;
}

void markup_text::release() noexcept
{
    links.clear();
    links.shrink_to_fit();
    if (layout) {
        layout->Release();
        layout = nullptr;
    }
}

int hit_test_position(IDWriteTextLayout* layout, float x, float y) noexcept
{
    if (!layout)
        return -1;
    BOOL trailing = FALSE;
    BOOL inside = FALSE;
    DWRITE_HIT_TEST_METRICS metrics{};
    const HRESULT hr = layout->HitTestPoint(x, y, &trailing, &inside, &metrics);
    if (SUCCEEDED(hr))
        return inside ? static_cast<int>(metrics.textPosition) : -1;
    if (hr != E_NOTIMPL)
        return -1;
    try {
        UINT32 line_count = 0;
        layout->GetLineMetrics(nullptr, 0, &line_count);
        std::vector<DWRITE_LINE_METRICS> lines(line_count);
        if (line_count == 0 || FAILED(layout->GetLineMetrics(lines.data(), line_count, &line_count)))
            return -1;
        UINT32 cluster_count = 0;
        layout->GetClusterMetrics(nullptr, 0, &cluster_count);
        std::vector<DWRITE_CLUSTER_METRICS> clusters(cluster_count);
        if (cluster_count == 0 || FAILED(layout->GetClusterMetrics(clusters.data(), cluster_count, &cluster_count)))
            return -1;
        if (x < 0 || y < 0)
            return -1;
        float top = 0;
        std::size_t cluster = 0;
        UINT32 position = 0;
        for (const DWRITE_LINE_METRICS& line : lines) {
            const bool this_line = y < top + line.height;
            float left = 0;
            UINT32 line_left = line.length;
            while (line_left > 0 && cluster < clusters.size()) {
                const DWRITE_CLUSTER_METRICS& m = clusters[cluster];
                if (this_line && x >= left && x < left + m.width)
                    return static_cast<int>(position);
                left += m.width;
                position += m.length;
                line_left -= std::min<UINT32>(line_left, m.length);
                ++cluster;
            }
            if (this_line)
                return -1;
            top += line.height;
        }
        return -1;
    } catch (...) {
        return -1;
    }
}

int markup_text::link_at(float x, float y) const noexcept
{
    const int position = hit_test_position(layout, x, y);
    if (position < 0)
        return -1;
    for (std::size_t i = 0; i < links.size(); ++i) {
        const UINT32 p = static_cast<UINT32>(position);
        if (p >= links[i].startPosition && p - links[i].startPosition < links[i].length)
            return static_cast<int>(i);
    }
    return -1;
}

void parse_markup(markup_text& out, IDWriteFactory* factory, std::wstring_view markup, IDWriteTextFormat* format,
                  float max_width, float max_height, std::wstring* plain) noexcept
{
    out.release();
    try {
        parsed_markup parsed = parse_markup_ranges(markup);
        if (plain)
            *plain = parsed.plain;
        if (!factory || !format)
            return;
        IDWriteTextLayout* layout = nullptr;
        if (FAILED(factory->CreateTextLayout(parsed.plain.c_str(), static_cast<UINT32>(parsed.plain.size()), format,
                                             max_width, max_height, &layout)) ||
            !layout)
            return;
        out.layout = layout;
        const float base_size = format->GetFontSize();
        for (const markup_range& r : parsed.ranges)
            apply(layout, r, base_size, out.links);
    } catch (...) {
        out.release();
    }
}

} // namespace Ostrel::d2d
