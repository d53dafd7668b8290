#pragma once
// Rendering of a parsed quillo format against a pack of arguments.
//
// Arguments are bool (drives conditional sections, writes nothing), wide strings and views
// (inserted unchanged), unsigned 32-bit, signed 32-bit, unsigned and signed 64-bit integers, and
// doubles. Numbers are converted by the library itself; the user's locale supplies only the
// thousands separator and the decimal point, read with GetLocaleInfoEx. Formatting an argument
// never throws; only appending to the output string can (out of memory).

#include <quillo/format_string.h>

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <type_traits>

namespace quillo {

enum class argument_kind : std::uint8_t { boolean, wide_string, u32, i32, u64, i64, f64 };

// One argument of a pack, by value for numbers and by reference for text: the referenced text
// must live until the render returns.
class argument {
public:
    argument(bool v) noexcept : kind_(argument_kind::boolean) { value_.b = v; }
    argument(const std::wstring& v) noexcept : kind_(argument_kind::wide_string) { set_text(v); }
    argument(std::wstring_view v) noexcept : kind_(argument_kind::wide_string) { set_text(v); }
    argument(const wchar_t* v) noexcept : kind_(argument_kind::wide_string) { set_text(v ? v : L""); }
    argument(wchar_t* v) noexcept : argument(static_cast<const wchar_t*>(v)) {}
    // Any other pointer would silently become a bool.
    template <typename T>
    argument(T*) = delete;
    argument(double v) noexcept : kind_(argument_kind::f64) { value_.f = v; }

    template <typename T>
        requires(std::is_integral_v<T> && !std::is_same_v<T, bool> && !std::is_same_v<T, wchar_t>)
    argument(T v) noexcept
    {
        if constexpr (std::is_signed_v<T> && sizeof(T) <= 4) {
            kind_ = argument_kind::i32;
            value_.i = static_cast<std::int32_t>(v);
        } else if constexpr (!std::is_signed_v<T> && sizeof(T) <= 4) {
            kind_ = argument_kind::u32;
            value_.u = static_cast<std::uint32_t>(v);
        } else if constexpr (std::is_signed_v<T>) {
            kind_ = argument_kind::i64;
            value_.i64 = static_cast<std::int64_t>(v);
        } else {
            kind_ = argument_kind::u64;
            value_.u64 = static_cast<std::uint64_t>(v);
        }
    }

    argument_kind kind() const noexcept { return kind_; }
    bool as_bool() const noexcept { return value_.b; }
    std::wstring_view as_text() const noexcept { return {value_.text.data, value_.text.size}; }
    std::uint32_t as_u32() const noexcept { return value_.u; }
    std::int32_t as_i32() const noexcept { return value_.i; }
    std::uint64_t as_u64() const noexcept { return value_.u64; }
    std::int64_t as_i64() const noexcept { return value_.i64; }
    double as_double() const noexcept { return value_.f; }

private:
    void set_text(std::wstring_view v) noexcept
    {
        value_.text.data = v.data();
        value_.text.size = v.size();
    }

    argument_kind kind_;
    union {
        bool b;
        std::uint32_t u;
        std::int32_t i;
        std::uint64_t u64;
        std::int64_t i64;
        double f;
        struct {
            const wchar_t* data;
            std::size_t size;
        } text;
    } value_;
};

// Per-render working space: a field's text is produced here before it is filled or cut, and the
// truth of open conditional sections is kept here.
struct scratch_buffer {
    static constexpr std::size_t inline_capacity = 128;

    wchar_t inline_units[inline_capacity];
    std::uint8_t conditions[max_open_sections] = {};
    std::size_t depth = 0;
    // Sections opened beyond the stack (only possible when bool and non-bool arguments are mixed
    // in one section's fields); counted so that their ends do not pop real entries.
    std::size_t overflow = 0;
    std::unique_ptr<wchar_t[]> heap_units;
    std::size_t capacity = inline_capacity;
    std::size_t reserved = 0;
    const wchar_t* result = nullptr;
    std::size_t result_length = 0;
    wchar_t decimal_point = 0; // 0 until looked up during this render

    std::wstring_view result_text() const noexcept { return {result, result_length}; }
    bool all_conditions_true() const noexcept;
};

// Where a formatter may write `count` units; grows the heap part when needed. An allocation failure
// ends the process (formatters run as non-throwing calls).
wchar_t* scratch_buffer_reserve(scratch_buffer& buffer, std::size_t count) noexcept;
void scratch_buffer_free(scratch_buffer& buffer) noexcept;

// Appends the buffer's result to `out`, filled to the item's width or cut to its max width.
void pad_and_append(std::wstring_view result, const format_item& item, std::wstring& out);

// The user default locale's thousands separator and decimal point, read once per process with
// GetLocaleInfoEx. A locale without a thousands separator gives 0 (no separator is written).
wchar_t thousands_separator() noexcept;
wchar_t decimal_point() noexcept;

// Formatters: each leaves its text in buffer.result. None throws.
void apply_condition(const format_item& item, bool value, scratch_buffer& buffer) noexcept;
void format_wstring_argument(const format_item& item, const std::wstring& value, scratch_buffer& buffer) noexcept;
void format_wstring_view_argument(const format_item& item, std::wstring_view value, scratch_buffer& buffer) noexcept;
void format_int_argument(const format_item& item, std::uint32_t value, scratch_buffer& buffer) noexcept;
void format_int32_argument(const format_item& item, std::int32_t value, scratch_buffer& buffer) noexcept;
void format_integer_argument(const format_item& item, std::uint64_t value, scratch_buffer& buffer) noexcept;
void format_int64_argument(const format_item& item, std::int64_t value, scratch_buffer& buffer) noexcept;
void format_double_argument(const format_item& item, double value, scratch_buffer& buffer) noexcept;

// The render loop: appends the format rendered with `arguments` to `out`. A field whose index has
// no argument renders nothing.
void render_arguments(const parsed_format& format, std::span<const argument> arguments, std::wstring& out);

template <typename... Args>
void render(const parsed_format& format, std::wstring& out, const Args&... args)
{
    if constexpr (sizeof...(Args) == 0) {
        render_arguments(format, {}, out);
    } else {
        const argument pack[] = {argument(args)...};
        render_arguments(format, pack, out);
    }
}

// Parses `format` and renders it with `args` into a new string. Throws bad_extended_format_string.
template <typename... Args>
std::wstring format(std::wstring_view format_text, const Args&... args)
{
    parsed_format parsed(format_text);
    std::wstring out;
    render(parsed, out, args...);
    return out;
}

// The argument packs the console program renders with.
void render_no_arguments(const parsed_format& format, std::wstring& out);
void render_1_wstring(const parsed_format& format, const std::wstring& a0, std::wstring& out);
void render_4_int(const parsed_format& format, std::uint32_t a0, std::uint32_t a1, std::uint32_t a2,
                  std::uint32_t a3, std::wstring& out);
void render_4_args(const parsed_format& format, const std::wstring& a0, std::int32_t a1, std::int32_t a2,
                   const std::wstring& a3, std::wstring& out);
std::wstring format_into_wstring(std::wstring_view format_text, std::uint64_t a0);
std::wstring format_into_string(std::wstring_view format_text, std::int32_t a0, const std::wstring& a1);

// The text a logger writes for log_message(level, text): `text` parsed as a format and rendered
// without arguments, so "{{" becomes "{" and any field renders nothing. Never pass user data
// (paths may hold braces) as `text`: use log_formatted_text with the data as the argument.
std::wstring log_message_text(std::wstring_view text);

// The text a logger writes for log_formatted(level, format, argument).
std::wstring log_formatted_text(std::wstring_view format_text, std::wstring_view argument_text);

} // namespace quillo
