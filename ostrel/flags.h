#pragma once
// A set of bit flags of an enumeration, kept as the enumeration's underlying integer (on the pipe
// and in records, the integer itself).

#include <type_traits>

namespace Ostrel::details {

template <class E>
    requires std::is_enum_v<E>
class flags {
public:
    using underlying = std::underlying_type_t<E>;

    constexpr flags() noexcept = default;
    constexpr flags(E flag) noexcept : bits_(static_cast<underlying>(flag)) {}
    static constexpr flags from_bits(underlying bits) noexcept
    {
        flags result;
        result.bits_ = bits;
        return result;
    }

    constexpr underlying bits() const noexcept { return bits_; }
    constexpr bool has(E flag) const noexcept
    {
        return (bits_ & static_cast<underlying>(flag)) == static_cast<underlying>(flag);
    }
    constexpr flags& set(E flag) noexcept
    {
        bits_ |= static_cast<underlying>(flag);
        return *this;
    }
    constexpr flags& clear(E flag) noexcept
    {
        bits_ &= ~static_cast<underlying>(flag);
        return *this;
    }

    friend constexpr flags operator|(flags a, flags b) noexcept { return from_bits(a.bits_ | b.bits_); }
    friend constexpr bool operator==(flags a, flags b) noexcept = default;

private:
    underlying bits_ = 0;
};

} // namespace Ostrel::details
