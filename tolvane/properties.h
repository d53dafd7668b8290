#pragma once
// The package's property table and the expansion of "$(NAME)" references.
//
// Names match without regard to the case of A-Z (folded with the classic locale: nothing else
// changes); values are stored as written and expanded on every read; a name that is not set reads
// as an empty text. A malformed reference ("$(" at the end, no ")", an empty name) makes the whole
// expansion "{Invalid property syntax}"; so does a property that refers back to itself, directly or
// through others, or a chain of references deeper than `max_expansion_depth`: the reference that
// closes the loop expands to that text instead of recursing without end.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>

namespace tolvane {

inline constexpr std::wstring_view invalid_property_syntax = L"{Invalid property syntax}";
inline constexpr int max_expansion_depth = 32;

// A-Z to a-z, nothing else.
std::wstring fold_property_name(std::wstring_view name);

class property_table {
public:
    // Adds the pair unless the name is already set (the first writer wins). Returns whether it was added.
    bool add(std::wstring_view name, std::wstring_view value);
    // Inserts or replaces.
    void set(std::wstring_view name, std::wstring_view value);
    // The stored (unexpanded) value, or null.
    const std::wstring* find(std::wstring_view name) const;
    // Erases the property; nothing when it is not set.
    void remove(std::wstring_view name) { values_.erase(fold_property_name(name)); }
    // Every (folded name, stored value) pair.
    const std::unordered_map<std::wstring, std::wstring>& entries() const noexcept { return values_; }
    std::size_t size() const noexcept { return values_.size(); }

    // Empty when the name is not set, else the expansion of its value.
    std::wstring get(std::wstring_view name, bool as_path) const;

private:
    friend class expander;
    // Keys are folded names.
    std::unordered_map<std::wstring, std::wstring> values_;
};

// The text with every "$(NAME)" replaced by the property's expanded value. "$$(" is not a reference
// (both "$" stay). `as_path` gives the path form: a text without references has its doubled
// backslashes undone; a text with references is its plain expansion.
std::wstring expand_properties(const property_table& table, std::wstring_view text, bool as_path);

// A text shorter than 2 code units is unchanged; otherwise the first code unit stays and, in the
// rest, each pair of backslashes (left to right, no overlap) becomes one.
std::wstring unescape_backslashes(std::wstring_view text);

// Both folded as property names are, then compared code unit by code unit.
bool iless(std::wstring_view a, std::wstring_view b);

// "{a}.{b:02}.{c:02}.{d:04}", e.g. 1, 2, 3, 45 give "1.02.03.0045".
std::wstring format_version_text(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d);

} // namespace tolvane
