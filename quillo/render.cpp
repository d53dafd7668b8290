#include <quillo/render.h>

#include <windows.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>

namespace quillo {
namespace {

// One unit of a locale string. The user's locale is read with GetLocaleInfoEx rather than through
// std::locale(""), which the mingw runtime refuses (throws) whenever LANG is set, while formatting
// must not throw.
wchar_t read_locale_unit(LCTYPE type, wchar_t fallback) noexcept
{
    wchar_t text[16] = {};
    if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, type, text, static_cast<int>(std::size(text))) <= 0)
        return fallback;
    return text[0];
}

// Longest text of a 64-bit integer conversion: 64 binary digits and a sign.
constexpr std::size_t max_integer_units = 72;

unsigned base_of(std::uint8_t radix) noexcept
{
    switch (radix) {
    case 2:
    case 8:
    case 10:
        return radix;
    default:
        return 16;
    }
}

struct integer_text {
    wchar_t* begin;
    wchar_t* end; // `extra` free units follow
};

// Writes the digits of `magnitude` by the item's radix, grouping, hexadecimal case, filling and
// prefix, then the sign (signed conversions only). Digits are written backwards from the end of a
// reserved area that keeps `extra` free units after them, so ordinary numbers need no allocation.
integer_text convert_integer(scratch_buffer& buffer, const format_item& item, std::uint64_t magnitude,
                             bool negative, bool is_signed, std::size_t extra) noexcept
{
    wchar_t* const area = scratch_buffer_reserve(buffer, max_integer_units + extra);
    wchar_t* const end = area + max_integer_units;
    wchar_t* p = end;
    const unsigned base = base_of(item.radix);

    if (base == 16) {
        const wchar_t* digits =
            (item.flags & item_flags::lower_hex) ? L"0123456789abcdef" : L"0123456789ABCDEF";
        std::uint64_t v = magnitude;
        do {
            *--p = digits[v & 0xF];
            v >>= 4;
        } while (v != 0);
        if (item.flags & item_flags::hex_pad) {
            const std::size_t count = static_cast<std::size_t>(end - p);
            const std::size_t target = count <= 8 ? 8 : 16;
            for (std::size_t i = count; i < target; ++i)
                *--p = L'0';
        }
        if (magnitude != 0 && (item.flags & item_flags::hex_prefix)) {
            *--p = L'x';
            *--p = L'0';
        }
    } else if (base == 10) {
        const wchar_t separator = (item.flags & item_flags::grouping) ? thousands_separator() : 0;
        std::uint64_t v = magnitude;
        unsigned written = 0;
        do {
            if (separator != 0 && written != 0 && written % 3 == 0)
                *--p = separator;
            *--p = static_cast<wchar_t>(L'0' + v % 10);
            v /= 10;
            ++written;
        } while (v != 0);
    } else {
        const unsigned shift = base == 2 ? 1 : 3;
        std::uint64_t v = magnitude;
        do {
            *--p = static_cast<wchar_t>(L'0' + (v & (base - 1)));
            v >>= shift;
        } while (v != 0);
    }

    if (negative)
        *--p = L'-';
    else if (is_signed && (item.flags & item_flags::plus_sign))
        *--p = L'+';
    return {p, end};
}

void set_result(scratch_buffer& buffer, const wchar_t* begin, const wchar_t* end) noexcept
{
    buffer.result = begin;
    buffer.result_length = static_cast<std::size_t>(end - begin);
}

void set_result(scratch_buffer& buffer, std::wstring_view text) noexcept
{
    buffer.result = text.data();
    buffer.result_length = text.size();
}

// Magnitude of a signed value, the most negative one included.
std::uint64_t magnitude_of(std::int64_t v) noexcept
{
    return v < 0 ? 0 - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
}

void format_character(std::uint64_t value, scratch_buffer& buffer) noexcept
{
    wchar_t* p = scratch_buffer_reserve(buffer, 1);
    *p = static_cast<wchar_t>(value & 0xFFFF);
    set_result(buffer, p, p + 1);
}

void format_unsigned(const format_item& item, std::uint64_t value, scratch_buffer& buffer) noexcept
{
    if (item.flags & item_flags::character)
        return format_character(value, buffer);
    const integer_text text = convert_integer(buffer, item, value, false, false, 0);
    set_result(buffer, text.begin, text.end);
}

void format_signed(const format_item& item, std::int64_t value, std::uint64_t same_bits, scratch_buffer& buffer) noexcept
{
    if (item.flags & item_flags::character)
        return format_character(static_cast<std::uint64_t>(value), buffer);
    if (item.flags & item_flags::as_unsigned)
        return format_unsigned(item, same_bits, buffer);
    const integer_text text = convert_integer(buffer, item, magnitude_of(value), value < 0, true, 0);
    set_result(buffer, text.begin, text.end);
}

// x times 10^k. Powers of ten up to 10^22 are exact doubles, so for the exponents the exponent form
// meets in practice the scaling rounds once: dividing by an exact 10^-k instead of multiplying by an
// inexact 10^k, and never through std::pow, which this runtime computes several units in the last
// place off for negative exponents, enough to show in the sixteenth digit. Larger exponents go in
// steps of 10^22 towards the result, so no intermediate overflows or underflows.
double scale_by_power_of_ten(double x, int k) noexcept
{
    constexpr double exact[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    constexpr int largest = 22;
    for (; k > largest; k -= largest)
        x *= exact[largest];
    for (; k < -largest; k += largest)
        x /= exact[largest];
    return k >= 0 ? x * exact[k] : x / exact[-k];
}

// 0.5, 0.05, ..., 5e-17: half a unit of the last written digit, by precision.
constexpr double rounding_constants[17] = {0.5,   0.05,  0.005, 5e-4,  5e-5,  5e-6,  5e-7,  5e-8, 5e-9,
                                           5e-10, 5e-11, 5e-12, 5e-13, 5e-14, 5e-15, 5e-16, 5e-17};

// Doubles whose integer part would not fit a signed 64-bit integer are written in exponent form.
constexpr double largest_fixed_magnitude = 9.2e18;

} // namespace

bool scratch_buffer::all_conditions_true() const noexcept
{
    for (std::size_t i = 0; i < depth; ++i)
        if (conditions[i] == 0)
            return false;
    return true;
}

wchar_t* scratch_buffer_reserve(scratch_buffer& buffer, std::size_t count) noexcept
{
    buffer.reserved = count;
    if (count <= buffer.inline_capacity && !buffer.heap_units)
        return buffer.inline_units;
    if (count > buffer.capacity || !buffer.heap_units) {
        const std::size_t capacity = std::max(count, buffer.capacity);
        // An allocation failure here ends the process: formatters are non-throwing by contract.
        buffer.heap_units.reset(new wchar_t[capacity]);
        buffer.capacity = capacity;
    }
    return buffer.heap_units.get();
}

void scratch_buffer_free(scratch_buffer& buffer) noexcept
{
    buffer.heap_units.reset();
    buffer.capacity = scratch_buffer::inline_capacity;
    buffer.reserved = 0;
}

wchar_t thousands_separator() noexcept
{
    static const wchar_t separator = read_locale_unit(LOCALE_STHOUSAND, L',');
    return separator;
}

wchar_t decimal_point() noexcept
{
    static const wchar_t point = [] {
        const wchar_t unit = read_locale_unit(LOCALE_SDECIMAL, L'.');
        return unit != 0 ? unit : L'.';
    }();
    return point;
}

void pad_and_append(std::wstring_view result, const format_item& item, std::wstring& out)
{
    const std::size_t n = result.size();
    const std::size_t width = item.width;
    const std::size_t max_width = item.max_width;
    if (item.alignment > align_right) {
        out.append(result);
        return;
    }
    if (width != 0 && n < width) {
        const std::size_t fill = width - n;
        switch (item.alignment) {
        case align_left:
            out.append(result);
            out.append(fill, item.fill);
            break;
        case align_centre:
            out.append(fill / 2, item.fill);
            out.append(result);
            out.append(fill - fill / 2, item.fill);
            break;
        default:
            out.append(fill, item.fill);
            out.append(result);
            break;
        }
    } else if (max_width != 0 && n > max_width) {
        const bool right = item.alignment == align_right;
        if (item.flags & item_flags::ellipsis) {
            const std::size_t kept = max_width - 1;
            if (right) {
                out.push_back(L'\u2026');
                out.append(result.substr(n - kept));
            } else {
                out.append(result.substr(0, kept));
                out.push_back(L'\u2026');
            }
        } else {
            out.append(right ? result.substr(n - max_width) : result.substr(0, max_width));
        }
    } else {
        out.append(result);
    }
}

void apply_condition(const format_item& item, bool value, scratch_buffer& buffer) noexcept
{
    buffer.result = nullptr;
    buffer.result_length = 0;
    // The parser refuses formats that open too many sections or close unopened ones; the guards
    // here cover what it cannot see: sections whose fields are skipped (index beyond the pack) or
    // take a non-bool argument.
    if (item.flags & item_flags::section_begin) {
        if (buffer.depth < max_open_sections)
            buffer.conditions[buffer.depth++] = value ? 1 : 0;
        else
            ++buffer.overflow;
    }
    if (item.flags & item_flags::section_else) {
        if (buffer.overflow == 0 && buffer.depth != 0)
            buffer.conditions[buffer.depth - 1] = buffer.conditions[buffer.depth - 1] ? 0 : 1;
    }
    if (item.flags & item_flags::section_end) {
        if (buffer.overflow != 0)
            --buffer.overflow;
        else if (buffer.depth != 0)
            --buffer.depth;
    }
}

void format_wstring_argument(const format_item&, const std::wstring& value, scratch_buffer& buffer) noexcept
{
    set_result(buffer, value);
}

void format_wstring_view_argument(const format_item&, std::wstring_view value, scratch_buffer& buffer) noexcept
{
    set_result(buffer, value);
}

void format_int_argument(const format_item& item, std::uint32_t value, scratch_buffer& buffer) noexcept
{
    format_unsigned(item, value, buffer);
}

void format_int32_argument(const format_item& item, std::int32_t value, scratch_buffer& buffer) noexcept
{
    format_signed(item, value, static_cast<std::uint32_t>(value), buffer);
}

void format_integer_argument(const format_item& item, std::uint64_t value, scratch_buffer& buffer) noexcept
{
    format_unsigned(item, value, buffer);
}

void format_int64_argument(const format_item& item, std::int64_t value, scratch_buffer& buffer) noexcept
{
    format_signed(item, value, static_cast<std::uint64_t>(value), buffer);
}

void format_double_argument(const format_item& item, double x, scratch_buffer& buffer) noexcept
{
    if (!std::isfinite(x)) {
        if (std::isnan(x))
            set_result(buffer, L"nan");
        else if (x < 0)
            set_result(buffer, L"-inf");
        else
            set_result(buffer, (item.flags & item_flags::plus_sign) ? L"+inf" : L"inf");
        return;
    }

    // Precisions beyond the rounding table are taken as the largest one.
    const unsigned n = item.precision == 0 ? 16u : std::min<unsigned>(item.precision, 16u);

    bool has_exponent = false;
    int e = 0;
    const bool too_large = std::fabs(x) >= largest_fixed_magnitude;
    if (((item.flags & item_flags::auto_exponent) || too_large) && x != 0) {
        e = static_cast<int>(std::floor(std::log10(std::fabs(x))));
        if (e < -static_cast<int>(n) || e > static_cast<int>(n) || too_large) {
            x = scale_by_power_of_ten(x, -e);
            has_exponent = true;
        }
    }
    if (!has_exponent && (item.flags & item_flags::exponent)) {
        has_exponent = true;
        e = 0;
    }

    x += x < 0 ? -rounding_constants[n] : rounding_constants[n];
    const double integral = std::trunc(x);
    double fraction = std::fabs(x - integral);
    const bool negative = x < 0;

    // The integer part takes radix, grouping, sign, prefix, case and filling from the item, but
    // neither 'c' nor 'u'.
    format_item integer_item = item;
    integer_item.flags &= ~(item_flags::character | item_flags::as_unsigned);
    const std::size_t extra = n + 1 + (has_exponent ? 6 : 0);
    const integer_text text = convert_integer(buffer, integer_item,
                                              static_cast<std::uint64_t>(std::fabs(integral)), negative, true, extra);
    wchar_t* p = text.end;

    if (item.radix != 10) {
        *p++ = L'?';
    } else {
        if (item.flags & item_flags::c_decimal_point) {
            *p++ = L'.';
        } else {
            if (buffer.decimal_point == 0)
                buffer.decimal_point = decimal_point();
            *p++ = buffer.decimal_point;
        }
        for (unsigned i = 0; i < n; ++i) {
            fraction *= 10;
            int digit = static_cast<int>(fraction);
            digit = std::clamp(digit, 0, 9);
            fraction -= digit;
            *p++ = static_cast<wchar_t>(L'0' + digit);
        }
    }

    if (has_exponent) {
        *p++ = L'e';
        *p++ = e < 0 ? L'-' : L'+';
        unsigned magnitude = static_cast<unsigned>(e < 0 ? -e : e);
        wchar_t digits[8];
        int count = 0;
        do {
            digits[count++] = static_cast<wchar_t>(L'0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        while (count != 0)
            *p++ = digits[--count];
    }
    set_result(buffer, text.begin, p);
}

void render_arguments(const parsed_format& format, std::span<const argument> arguments, std::wstring& out)
{
    scratch_buffer buffer;
    struct release {
        scratch_buffer& b;
        ~release() { scratch_buffer_free(b); }
    } release_at_exit{buffer};

    for (const format_item& item : format.items()) {
        if (item.is_literal()) {
            if (!buffer.all_conditions_true())
                continue;
            const std::wstring_view run = item.literal_text();
            if (!item.has_escapes) {
                out.append(run);
                continue;
            }
            std::size_t start = 0;
            for (std::size_t i = 0; i + 1 < run.size(); ++i) {
                if (run[i] == L'{' && run[i + 1] == L'{') {
                    out.append(run.substr(start, i + 1 - start));
                    start = i + 2;
                    ++i;
                }
            }
            out.append(run.substr(start));
            continue;
        }

        buffer.result = nullptr;
        buffer.result_length = 0;
        const bool visible = buffer.all_conditions_true();
        const bool conditional = (item.flags & item_flags::conditional) != 0;
        // Conditional fields run inside false sections too, so that the truth stack stays balanced.
        if (!visible && !conditional)
            continue;
        if (item.argument_index >= arguments.size())
            continue;

        const argument& arg = arguments[item.argument_index];
        switch (arg.kind()) {
        case argument_kind::boolean:
            // Drives the sections and writes nothing, not even fill.
            apply_condition(item, arg.as_bool(), buffer);
            continue;
        case argument_kind::wide_string:
            format_wstring_view_argument(item, arg.as_text(), buffer);
            break;
        case argument_kind::u32:
            format_int_argument(item, arg.as_u32(), buffer);
            break;
        case argument_kind::i32:
            format_int32_argument(item, arg.as_i32(), buffer);
            break;
        case argument_kind::u64:
            format_integer_argument(item, arg.as_u64(), buffer);
            break;
        case argument_kind::i64:
            format_int64_argument(item, arg.as_i64(), buffer);
            break;
        case argument_kind::f64:
            format_double_argument(item, arg.as_double(), buffer);
            break;
        }
        // A conditional letter on a non-bool argument opens nothing; its text still belongs to
        // the section it stands in.
        if (visible)
            pad_and_append(buffer.result_text(), item, out);
    }
}

void render_no_arguments(const parsed_format& format, std::wstring& out)
{
    render_arguments(format, {}, out);
}

void render_1_wstring(const parsed_format& format, const std::wstring& a0, std::wstring& out)
{
    render(format, out, a0);
}

void render_4_int(const parsed_format& format, std::uint32_t a0, std::uint32_t a1, std::uint32_t a2,
                  std::uint32_t a3, std::wstring& out)
{
    render(format, out, a0, a1, a2, a3);
}

void render_4_args(const parsed_format& format, const std::wstring& a0, std::int32_t a1, std::int32_t a2,
                   const std::wstring& a3, std::wstring& out)
{
    render(format, out, a0, a1, a2, a3);
}

std::wstring format_into_wstring(std::wstring_view format_text, std::uint64_t a0)
{
    return format(format_text, a0);
}

std::wstring format_into_string(std::wstring_view format_text, std::int32_t a0, const std::wstring& a1)
{
    return format(format_text, a0, a1);
}

std::wstring log_message_text(std::wstring_view text)
{
    parsed_format parsed(text);
    std::wstring out;
    render_no_arguments(parsed, out);
    return out;
}

std::wstring log_formatted_text(std::wstring_view format_text, std::wstring_view argument_text)
{
    return format(format_text, argument_text);
}

} // namespace quillo
