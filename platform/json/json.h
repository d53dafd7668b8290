#pragma once
// A strict reader of JSON text (RFC 8259) for the few answers the configuration utility reads from
// its update site; the platform's own JSON classes are not available everywhere the utility runs.
//
// Strict means: UTF-8 input only (a byte-order mark, an invalid or overlong sequence, or a lone
// surrogate escape is an error), no comments, no trailing commas, no leading zeros, no NaN or
// Infinity, nothing but white space after the value, at most 64 levels of nesting, and no object
// with the same member name twice (which member would win is not something an answer should
// leave open). Every error gives no value at all; the reader never throws for bad input.

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace platform::json {

class value;
using array = std::vector<value>;
using member = std::pair<std::wstring, value>;
using object = std::vector<member>;

class value {
public:
    using storage = std::variant<std::nullptr_t, bool, double, std::wstring, array, object>;

    value() : data_(nullptr) {}
    explicit value(storage data) : data_(std::move(data)) {}

    bool is_null() const noexcept { return std::holds_alternative<std::nullptr_t>(data_); }
    bool is_bool() const noexcept { return std::holds_alternative<bool>(data_); }
    bool is_number() const noexcept { return std::holds_alternative<double>(data_); }
    bool is_string() const noexcept { return std::holds_alternative<std::wstring>(data_); }
    bool is_array() const noexcept { return std::holds_alternative<array>(data_); }
    bool is_object() const noexcept { return std::holds_alternative<object>(data_); }

    // Null when the value is of another kind.
    const bool* as_bool() const noexcept { return std::get_if<bool>(&data_); }
    const double* as_number() const noexcept { return std::get_if<double>(&data_); }
    const std::wstring* as_string() const noexcept { return std::get_if<std::wstring>(&data_); }
    const array* as_array() const noexcept { return std::get_if<array>(&data_); }
    const object* as_object() const noexcept { return std::get_if<object>(&data_); }

    // A member of an object by name (exact, unit by unit); null when this is not an object or it
    // has no such member.
    const value* find(std::wstring_view name) const noexcept;

private:
    storage data_;
};

inline constexpr std::size_t max_depth = 64;

// The value of a complete JSON text, or nothing when the text is not strict JSON.
std::optional<value> parse(std::string_view utf8);

} // namespace platform::json
