#include <quillo/format_string.h>

#include <algorithm>

namespace quillo {
namespace {

bool is_digit(wchar_t c) noexcept { return c >= L'0' && c <= L'9'; }

// Walks the units of one field. Every read is checked against the end of the text, so a field
// that the end interrupts is an error and nothing past the end is touched.
class field_reader {
public:
    field_reader(const wchar_t* pos, const wchar_t* end) noexcept : pos_(pos), end_(end) {}

    const wchar_t* position() const noexcept { return pos_; }
    bool at_end() const noexcept { return pos_ == end_; }
    wchar_t peek() const noexcept { return *pos_; }

    wchar_t next()
    {
        if (pos_ == end_)
            throw bad_extended_format_string{};
        return *pos_++;
    }

    bool next_is(wchar_t c) const noexcept { return pos_ != end_ && *pos_ == c; }

    // A run of decimal digits, modulo 65536. Digits that run into the end of the text leave the
    // field unclosed.
    std::uint16_t number(bool& had_digits)
    {
        std::uint16_t value = 0;
        had_digits = false;
        while (pos_ != end_ && is_digit(*pos_)) {
            value = static_cast<std::uint16_t>(value * 10u + static_cast<unsigned>(*pos_ - L'0'));
            had_digits = true;
            ++pos_;
        }
        if (pos_ == end_)
            throw bad_extended_format_string{};
        return value;
    }

    std::uint16_t number()
    {
        bool ignored;
        return number(ignored);
    }

private:
    const wchar_t* pos_;
    const wchar_t* end_;
};

// Reads the letters of a field up to and including its closing '}'.
void read_letters(field_reader& in, format_item& item)
{
    for (;;) {
        const wchar_t c = in.next();
        switch (c) {
        case L'}':
            return;
        case L'+':
            item.flags |= item_flags::plus_sign;
            break;
        case L'?':
            switch (in.next()) {
            case L'<':
                item.flags |= item_flags::section_begin | item_flags::conditional;
                break;
            case L'|':
                item.flags |= item_flags::section_else | item_flags::conditional;
                break;
            case L'>':
                item.flags |= item_flags::section_end | item_flags::conditional;
                break;
            default:
                throw bad_extended_format_string{};
            }
            break;
        case L'a':
            switch (in.next()) {
            case L'l':
                item.alignment = align_left;
                break;
            case L'c':
                item.alignment = align_centre;
                break;
            case L'r':
                item.alignment = align_right;
                break;
            default:
                break; // consumed, alignment unchanged
            }
            break;
        case L'b': {
            if (in.next_is(L'0')) {
                item.flags |= item_flags::hex_prefix;
                in.next();
            }
            item.radix = static_cast<std::uint8_t>(in.number());
            if (item.radix == 16) {
                if (in.next_is(L'x')) {
                    item.flags |= item_flags::lower_hex;
                    in.next();
                } else if (in.next_is(L'X')) {
                    in.next();
                }
                if (in.next_is(L'p')) {
                    item.flags |= item_flags::hex_pad;
                    in.next();
                }
            }
            break;
        }
        case L'c':
            item.flags |= item_flags::character;
            break;
        case L'e':
            item.flags |= item_flags::ellipsis;
            break;
        case L'f':
            item.fill = in.next();
            break;
        case L'l':
            item.flags |= item_flags::grouping;
            break;
        case L'n':
            item.flags |= item_flags::c_decimal_point;
            break;
        case L'p':
            item.precision = in.number();
            break;
        case L's':
            if (in.next_is(L'a')) {
                in.next();
                item.flags |= item_flags::auto_exponent;
            } else {
                item.flags |= item_flags::exponent;
            }
            break;
        case L't': {
            if (in.next() != L'(')
                throw bad_extended_format_string{};
            const wchar_t* start = in.position();
            for (;;) {
                const wchar_t t = in.next();
                if (t == L')')
                    break;
                if (t == L'}')
                    throw bad_extended_format_string{};
            }
            item.flags |= item_flags::type_text;
            item.text = start;
            item.length = static_cast<std::size_t>(in.position() - 1 - start);
            break;
        }
        case L'u':
            item.flags |= item_flags::as_unsigned;
            break;
        case L'w': {
            bool had_digits = false;
            const std::uint16_t width = in.number(had_digits);
            if (had_digits || !in.next_is(L','))
                item.width = width;
            if (in.next_is(L',')) {
                in.next();
                item.max_width = in.number();
            }
            break;
        }
        default:
            throw bad_extended_format_string{};
        }
    }
}

} // namespace

void parsed_format::parse_format(std::wstring_view text)
{
    // A field and the literal before it take at most two items per '{', plus the trailing run.
    const std::size_t braces = static_cast<std::size_t>(std::count(text.begin(), text.end(), L'{'));
    items_.reset();
    count_ = 0;
    text_ = text;
    items_ = std::make_unique<format_item[]>(2 * braces + 1);

    const wchar_t* const begin = text.data();
    const wchar_t* const end = begin + text.size();
    const wchar_t* run_start = begin;
    bool has_escapes = false;
    std::uint32_t next_index = 0;
    std::size_t open_sections = 0;

    const wchar_t* p = begin;
    while (p != end) {
        if (*p != L'{') {
            ++p;
            continue;
        }
        if (p + 1 != end && p[1] == L'{') {
            has_escapes = true;
            p += 2;
            continue;
        }
        if (p != run_start) {
            format_item& literal = items_[count_++];
            literal.flags = item_flags::literal;
            literal.text = run_start;
            literal.length = static_cast<std::size_t>(p - run_start);
            literal.has_escapes = has_escapes;
        }
        has_escapes = false;

        format_item& field = items_[count_++];
        field_reader in(p + 1, end);
        bool had_digits = false;
        if (in.at_end())
            throw bad_extended_format_string{};
        if (is_digit(in.peek()))
            field.argument_index = in.number(had_digits);
        else
            field.argument_index = static_cast<std::uint16_t>(next_index);
        next_index = field.argument_index + 1u;
        read_letters(in, field);

        // The renderer keeps the truth of open sections in a fixed stack: refuse what would not
        // fit in it, or close a section that was never opened.
        if (field.flags & item_flags::section_begin) {
            if (++open_sections > max_open_sections)
                throw bad_extended_format_string{};
        }
        if (field.flags & (item_flags::section_else | item_flags::section_end)) {
            if (open_sections == 0)
                throw bad_extended_format_string{};
            if (field.flags & item_flags::section_end)
                --open_sections;
        }

        p = in.position();
        run_start = p;
    }
    if (p != run_start) {
        format_item& literal = items_[count_++];
        literal.flags = item_flags::literal;
        literal.text = run_start;
        literal.length = static_cast<std::size_t>(p - run_start);
        literal.has_escapes = has_escapes;
    }
}

} // namespace quillo
