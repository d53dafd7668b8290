#pragma once
// Run-time parse of a quillo format string into literal runs and argument fields.
//
// A format is parsed at every use; nothing caches parsed formats. The parsed format does not copy
// its text: items point into it, so the text must outlive the parsed format.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>

namespace quillo {

// Base of the library's exceptions: carries nothing, and is deliberately not a std::exception.
struct generic_exception {};

// A malformed format string.
struct bad_extended_format_string : generic_exception {};

// Bits of format_item::flags.
namespace item_flags {
inline constexpr std::uint32_t ellipsis = 0x1;          // 'e': U+2026 marks what the max width cut off
inline constexpr std::uint32_t plus_sign = 0x2;         // '+': '+' before a non-negative number
inline constexpr std::uint32_t lower_hex = 0x4;         // 'x' after radix 16
inline constexpr std::uint32_t character = 0x8;         // 'c': integer written as one UTF-16 unit
inline constexpr std::uint32_t grouping = 0x10;         // 'l': thousands separator
inline constexpr std::uint32_t type_text = 0x20;        // 't(...)'
inline constexpr std::uint32_t hex_prefix = 0x40;       // 'b0': "0x" before hexadecimal digits
inline constexpr std::uint32_t literal = 0x80;          // set by the parser on literal runs
inline constexpr std::uint32_t section_begin = 0x100;   // "?<"
inline constexpr std::uint32_t section_end = 0x200;     // "?>"
inline constexpr std::uint32_t section_else = 0x400;    // "?|"
inline constexpr std::uint32_t conditional = 0x800;     // any of the three above
inline constexpr std::uint32_t hex_pad = 0x1000;        // 'p' after radix 16: zero-fill to 8 or 16 digits
inline constexpr std::uint32_t c_decimal_point = 0x2000; // 'n': '.' instead of the locale's decimal point
inline constexpr std::uint32_t exponent = 0x4000;       // 's': exponent suffix always
inline constexpr std::uint32_t auto_exponent = 0x8000;  // "sa": exponent form only far from 1
inline constexpr std::uint32_t as_unsigned = 0x10000;   // 'u': signed integer written as unsigned
} // namespace item_flags

// Alignment values of format_item::alignment.
inline constexpr std::uint16_t align_left = 0;
inline constexpr std::uint16_t align_centre = 1;
inline constexpr std::uint16_t align_right = 2;

// One literal run or one argument field.
struct format_item {
    std::uint32_t flags = 0;
    // Literal: first unit of the run. Field with 't(...)': first unit after '('.
    const wchar_t* text = nullptr;
    // Literal: units in the run. Field with 't(...)': units between the parentheses.
    std::size_t length = 0;
    std::uint16_t argument_index = 0;
    // Literal only: the run contains "{{", which renders as one '{'.
    bool has_escapes = false;
    std::uint16_t alignment = align_left;
    std::uint16_t width = 0;     // minimum width in UTF-16 units; 0 = none
    std::uint16_t max_width = 0; // maximum width in UTF-16 units; 0 = none
    std::uint16_t precision = 0; // digits after the decimal point; 0 means 16
    wchar_t fill = L' ';
    std::uint8_t radix = 10;

    bool is_literal() const noexcept { return (flags & item_flags::literal) != 0; }
    std::wstring_view literal_text() const noexcept { return {text, length}; }
};

// Deepest nesting of conditional sections a format may open; the renderer's truth stack holds no
// more, so the parser refuses deeper formats.
inline constexpr std::size_t max_open_sections = 8;

class parsed_format {
public:
    parsed_format() = default;
    // Parses `text` at once; throws bad_extended_format_string.
    explicit parsed_format(std::wstring_view text) { parse_format(text); }
    explicit parsed_format(const wchar_t* text) { parse_format(std::wstring_view(text)); }
    // The items would point into a destroyed temporary.
    explicit parsed_format(std::wstring&&) = delete;

    parsed_format(const parsed_format&) = delete;
    parsed_format& operator=(const parsed_format&) = delete;
    // A moved-from format is left empty: its count must not outlive the items it counted.
    parsed_format(parsed_format&& other) noexcept
        : text_(std::exchange(other.text_, {})), items_(std::move(other.items_)), count_(std::exchange(other.count_, 0))
    {
    }
    parsed_format& operator=(parsed_format&& other) noexcept
    {
        text_ = std::exchange(other.text_, {});
        items_ = std::move(other.items_);
        count_ = std::exchange(other.count_, 0);
        return *this;
    }
    ~parsed_format() = default;

    // Releases the previous items, then parses `text`. Throws bad_extended_format_string at the
    // first malformed field; the items parsed up to there are kept until the next parse.
    void parse_format(std::wstring_view text);
    void parse_format(const wchar_t* text) { parse_format(std::wstring_view(text)); }
    void parse_format(std::wstring&&) = delete;

    std::wstring_view text() const noexcept { return text_; }
    std::span<const format_item> items() const noexcept { return {items_.get(), count_}; }

private:
    std::wstring_view text_;
    std::unique_ptr<format_item[]> items_;
    std::size_t count_ = 0;
};

} // namespace quillo
