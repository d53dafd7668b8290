#include <platform/json/json.h>

#include <charconv>
#include <cmath>
#include <cstdint>

namespace platform::json {

const value* value::find(std::wstring_view name) const noexcept
{
    const object* o = as_object();
    if (!o)
        return nullptr;
    for (const member& m : *o)
        if (m.first == name)
            return &m.second;
    return nullptr;
}

namespace {

class reader {
public:
    explicit reader(std::string_view text) : text_(text) {}

    std::optional<value> document()
    {
        skip_space();
        std::optional<value> v = parse_value(0);
        if (!v)
            return std::nullopt;
        skip_space();
        if (pos_ != text_.size())
            return std::nullopt;
        return v;
    }

private:
    bool at_end() const noexcept { return pos_ >= text_.size(); }
    unsigned char peek() const noexcept { return at_end() ? 0 : static_cast<unsigned char>(text_[pos_]); }

    void skip_space() noexcept
    {
        while (!at_end()) {
            const char c = text_[pos_];
            if (c != ' ' && c != '\t' && c != '\n' && c != '\r')
                return;
            ++pos_;
        }
    }

    bool literal(std::string_view word) noexcept
    {
        if (text_.substr(pos_, word.size()) != word)
            return false;
        pos_ += word.size();
        return true;
    }

    std::optional<value> parse_value(std::size_t depth)
    {
        if (depth >= max_depth)
            return std::nullopt;
        switch (peek()) {
        case '{': return parse_object(depth + 1);
        case '[': return parse_array(depth + 1);
        case '"': {
            std::optional<std::wstring> s = parse_string();
            if (!s)
                return std::nullopt;
            return value(std::move(*s));
        }
        case 't': return literal("true") ? std::optional<value>(value(true)) : std::nullopt;
        case 'f': return literal("false") ? std::optional<value>(value(false)) : std::nullopt;
        case 'n': return literal("null") ? std::optional<value>(value()) : std::nullopt;
        default: return parse_number();
        }
    }

    std::optional<value> parse_object(std::size_t depth)
    {
        ++pos_; // '{'
        object members;
        skip_space();
        if (peek() == '}') {
            ++pos_;
            return value(std::move(members));
        }
        for (;;) {
            skip_space();
            if (peek() != '"')
                return std::nullopt;
            std::optional<std::wstring> name = parse_string();
            if (!name)
                return std::nullopt;
            for (const member& m : members)
                if (m.first == *name)
                    return std::nullopt;
            skip_space();
            if (peek() != ':')
                return std::nullopt;
            ++pos_;
            skip_space();
            std::optional<value> v = parse_value(depth);
            if (!v)
                return std::nullopt;
            members.emplace_back(std::move(*name), std::move(*v));
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == '}') {
                ++pos_;
                return value(std::move(members));
            }
            return std::nullopt;
        }
    }

    std::optional<value> parse_array(std::size_t depth)
    {
        ++pos_; // '['
        array items;
        skip_space();
        if (peek() == ']') {
            ++pos_;
            return value(std::move(items));
        }
        for (;;) {
            skip_space();
            std::optional<value> v = parse_value(depth);
            if (!v)
                return std::nullopt;
            items.push_back(std::move(*v));
            skip_space();
            if (peek() == ',') {
                ++pos_;
                continue;
            }
            if (peek() == ']') {
                ++pos_;
                return value(std::move(items));
            }
            return std::nullopt;
        }
    }

    std::optional<value> parse_number()
    {
        const std::size_t start = pos_;
        if (peek() == '-')
            ++pos_;
        if (peek() == '0') {
            ++pos_;
        } else if (peek() >= '1' && peek() <= '9') {
            while (peek() >= '0' && peek() <= '9')
                ++pos_;
        } else {
            return std::nullopt;
        }
        if (peek() == '.') {
            ++pos_;
            if (!(peek() >= '0' && peek() <= '9'))
                return std::nullopt;
            while (peek() >= '0' && peek() <= '9')
                ++pos_;
        }
        if (peek() == 'e' || peek() == 'E') {
            ++pos_;
            if (peek() == '+' || peek() == '-')
                ++pos_;
            if (!(peek() >= '0' && peek() <= '9'))
                return std::nullopt;
            while (peek() >= '0' && peek() <= '9')
                ++pos_;
        }
        double d = 0;
        const char* first = text_.data() + start;
        const char* last = text_.data() + pos_;
        const std::from_chars_result r = std::from_chars(first, last, d);
        // Out of range: from_chars leaves d unchanged; a number too large for a double is no
        // number this reader can give.
        if (r.ec != std::errc() || r.ptr != last || !std::isfinite(d))
            return std::nullopt;
        return value(d);
    }

    // Four hexadecimal digits after "\u".
    std::optional<std::uint32_t> hex4() noexcept
    {
        if (text_.size() - pos_ < 4)
            return std::nullopt;
        std::uint32_t v = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text_[pos_++];
            v <<= 4;
            if (c >= '0' && c <= '9')
                v |= static_cast<std::uint32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v |= static_cast<std::uint32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v |= static_cast<std::uint32_t>(c - 'A' + 10);
            else
                return std::nullopt;
        }
        return v;
    }

    static void append_code_point(std::wstring& out, std::uint32_t cp)
    {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<wchar_t>(cp));
        }
    }

    // One UTF-8 sequence of the raw text; nothing for a malformed, overlong or surrogate one.
    std::optional<std::uint32_t> utf8_sequence() noexcept
    {
        const unsigned char lead = peek();
        std::size_t extra;
        std::uint32_t cp;
        std::uint32_t minimum;
        if (lead < 0x80)
            return static_cast<std::uint32_t>(text_[pos_++]);
        if ((lead & 0xE0) == 0xC0) {
            extra = 1, cp = lead & 0x1F, minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2, cp = lead & 0x0F, minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3, cp = lead & 0x07, minimum = 0x10000;
        } else {
            return std::nullopt;
        }
        if (text_.size() - pos_ < extra + 1)
            return std::nullopt;
        for (std::size_t i = 1; i <= extra; ++i) {
            const auto c = static_cast<unsigned char>(text_[pos_ + i]);
            if ((c & 0xC0) != 0x80)
                return std::nullopt;
            cp = (cp << 6) | (c & 0x3F);
        }
        if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return std::nullopt;
        pos_ += extra + 1;
        return cp;
    }

    std::optional<std::wstring> parse_string()
    {
        ++pos_; // '"'
        std::wstring out;
        for (;;) {
            if (at_end())
                return std::nullopt;
            const unsigned char c = peek();
            if (c == '"') {
                ++pos_;
                return out;
            }
            if (c < 0x20)
                return std::nullopt;
            if (c != '\\') {
                std::optional<std::uint32_t> cp = utf8_sequence();
                if (!cp)
                    return std::nullopt;
                append_code_point(out, *cp);
                continue;
            }
            ++pos_;
            if (at_end())
                return std::nullopt;
            const char e = text_[pos_++];
            switch (e) {
            case '"': out.push_back(L'"'); break;
            case '\\': out.push_back(L'\\'); break;
            case '/': out.push_back(L'/'); break;
            case 'b': out.push_back(L'\b'); break;
            case 'f': out.push_back(L'\f'); break;
            case 'n': out.push_back(L'\n'); break;
            case 'r': out.push_back(L'\r'); break;
            case 't': out.push_back(L'\t'); break;
            case 'u': {
                std::optional<std::uint32_t> unit = hex4();
                if (!unit)
                    return std::nullopt;
                if (*unit >= 0xDC00 && *unit <= 0xDFFF)
                    return std::nullopt;
                if (*unit >= 0xD800 && *unit <= 0xDBFF) {
                    if (!literal("\\u"))
                        return std::nullopt;
                    std::optional<std::uint32_t> low = hex4();
                    if (!low || *low < 0xDC00 || *low > 0xDFFF)
                        return std::nullopt;
                    out.push_back(static_cast<wchar_t>(*unit));
                    out.push_back(static_cast<wchar_t>(*low));
                } else {
                    out.push_back(static_cast<wchar_t>(*unit));
                }
                break;
            }
            default: return std::nullopt;
            }
        }
    }

    std::string_view text_;
    std::size_t pos_ = 0;
};

} // namespace

std::optional<value> parse(std::string_view utf8)
{
    return reader(utf8).document();
}

} // namespace platform::json
