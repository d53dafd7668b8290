#include <tolvane/properties.h>

#include <algorithm>
#include <vector>

#include <quillo/render.h>

namespace tolvane {

namespace {

wchar_t fold(wchar_t c) noexcept { return c >= L'A' && c <= L'Z' ? static_cast<wchar_t>(c + (L'a' - L'A')) : c; }

} // namespace

std::wstring fold_property_name(std::wstring_view name)
{
    std::wstring out(name);
    for (wchar_t& c : out)
        c = fold(c);
    return out;
}

bool property_table::add(std::wstring_view name, std::wstring_view value)
{
    return values_.try_emplace(fold_property_name(name), value).second;
}

void property_table::set(std::wstring_view name, std::wstring_view value)
{
    values_.insert_or_assign(fold_property_name(name), std::wstring(value));
}

const std::wstring* property_table::find(std::wstring_view name) const
{
    auto it = values_.find(fold_property_name(name));
    return it == values_.end() ? nullptr : &it->second;
}

std::wstring property_table::get(std::wstring_view name, bool as_path) const
{
    const std::wstring* value = find(name);
    return value ? expand_properties(*this, *value, as_path) : std::wstring{};
}

// One expansion, with the names whose values are being expanded: meeting one of them again (or
// going deeper than the bound) is a loop, which expands to the invalid-syntax text.
class expander {
public:
    explicit expander(const property_table& table) : table_(table) {}

    std::wstring run(std::wstring_view text, bool as_path)
    {
        std::wstring out;
        std::size_t from = 0;   // end of the previous reference
        std::size_t search = 0; // where the next "$(" is looked for
        bool any = false;
        for (;;) {
            std::size_t p = text.find(L"$(", search);
            if (p == std::wstring_view::npos)
                break;
            if (p > 0 && text[p - 1] == L'$') {
                search = p + 2;
                continue;
            }
            any = true;
            std::size_t close = p + 2 < text.size() ? text.find(L')', p + 2) : std::wstring_view::npos;
            if (close == std::wstring_view::npos || close == p + 2)
                return std::wstring(invalid_property_syntax);
            out.append(text.substr(from, p - from));
            std::wstring name = fold_property_name(text.substr(p + 2, close - p - 2));
            auto it = table_.values_.find(name);
            if (it != table_.values_.end()) {
                if (std::find(active_.begin(), active_.end(), name) != active_.end()
                    || active_.size() >= static_cast<std::size_t>(max_expansion_depth)) {
                    out.append(invalid_property_syntax);
                } else {
                    active_.push_back(std::move(name));
                    out += run(it->second, false);
                    active_.pop_back();
                }
            }
            from = search = close + 1;
        }
        if (!any)
            return as_path ? unescape_backslashes(text) : std::wstring(text);
        out.append(text.substr(from));
        return out;
    }

private:
    const property_table& table_;
    std::vector<std::wstring> active_;
};

std::wstring expand_properties(const property_table& table, std::wstring_view text, bool as_path)
{
    return expander(table).run(text, as_path);
}

std::wstring unescape_backslashes(std::wstring_view text)
{
    if (text.size() < 2)
        return std::wstring(text);
    std::wstring out;
    out.reserve(text.size());
    out.push_back(text[0]);
    for (std::size_t i = 1; i < text.size(); ++i) {
        out.push_back(text[i]);
        if (text[i] == L'\\' && i + 1 < text.size() && text[i + 1] == L'\\')
            ++i;
    }
    return out;
}

bool iless(std::wstring_view a, std::wstring_view b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](wchar_t x, wchar_t y) { return fold(x) < fold(y); });
}

std::wstring format_version_text(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d)
{
    return quillo::format(L"{0}.{1w2arf0}.{2w2arf0}.{3w4arf0}", a, b, c, d);
}

} // namespace tolvane
