#pragma once
// Markup of drawn texts: "[[[" + a letter + an optional ":N:" argument, the text, and "]]]", nested.
//
//   b  bold (700)          w:N:  weight N (1..999)      i  italic        c:N:  stretch N (1..9)
//   s:N: N % of the format's size   u  underline   -  strikethrough   h  link (underlined, listed)
//   any other letter formats nothing; its text stays.
//
// "[[[x::" takes argument 0 and keeps both colons as text; "[[[s:-50:" reads 50 (the number has no
// sign). There is no escape: markers inside a field only change the formatting. Ranges apply in
// the order their tags close, so an enclosing tag wins over an inner one of the same property.
//
// Texts come from file names, config.ini, the registry and the system, so every malformed marker
// stays text: a "[[[" without a letter or with an unfinished argument, and a "]]]" with no open tag.
// An unclosed tag formats nothing and keeps its text. Nothing here reads past the text or throws.

#include <windows.h>
#include <dwrite.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace Ostrel::d2d {

struct markup_range {
    std::uint32_t start = 0;
    std::uint32_t length = 0;
    wchar_t letter = 0;
    std::uint32_t argument = 0;
};

// The plain text and the finished ranges, in the order their tags closed.
struct parsed_markup {
    std::wstring plain;
    std::vector<markup_range> ranges;
};

parsed_markup parse_markup_ranges(std::wstring_view markup);

struct markup_text {
    IDWriteTextLayout* layout = nullptr;
    std::vector<DWRITE_TEXT_RANGE> links;

    markup_text() = default;
    markup_text(const markup_text&) = delete;
    markup_text& operator=(const markup_text&) = delete;
    markup_text(markup_text&& o) noexcept;
    markup_text& operator=(markup_text&& o) noexcept;
    ~markup_text() { release(); }

    void release() noexcept;

    // The index of the link range under a point given relative to the layout's origin, or -1.
    int link_at(float x, float y) const noexcept;
};

// The text position under a point of a layout (relative to its origin), or -1 outside the text.
// DirectWrite's HitTestPoint where it works; Wine answers E_NOTIMPL, and the position then comes
// from the line and cluster metrics (leading-aligned text).
int hit_test_position(IDWriteTextLayout* layout, float x, float y) noexcept;

// Parses `markup` into `out`: a layout of the plain text in `format` with the formatting applied,
// and the link ranges. No format, or a layout that cannot be made, leaves `out` empty. The plain
// text goes to `plain` when given.
void parse_markup(markup_text& out, IDWriteFactory* factory, std::wstring_view markup, IDWriteTextFormat* format,
                  float max_width, float max_height = 1000.0f, std::wstring* plain = nullptr) noexcept;

} // namespace Ostrel::d2d
