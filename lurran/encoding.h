#pragma once
// Encoding of arguments and results into message bodies, every multi-byte number little-endian:
//
//   value                                   bytes
//   bool, 8-bit integers                    1 (true is 1; any non-zero byte decodes as true)
//   16/32/64-bit integers, enums, HRESULTs  their width
//   std::wstring                            u32 count of UTF-16 units, the units; no terminator
//   std::vector<T>                          u32 element count, the elements in order
//   record of fixed layout                  its bytes as they lie in memory (no padding allowed)
//   std::expected<T, long>                  1 has-value byte, then T or the 4-byte HRESULT
//   void                                    nothing
//
// Arguments are concatenated in declaration order without counts or separators.
//
// Decoding checks every length and count against the bytes that remain, so a body from any peer
// is never read past its end and never makes the decoder reserve more than the body could hold;
// a short body raises E_INVALIDARG. Bytes left over after the last value are ignored.
// Another type is made encodable by specialising `lurran::codec`.

#include <bit>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <expected>
#include <span>
#include <string>
#include <tuple>
#include <type_traits>
#include <vector>

namespace lurran {

static_assert(std::endian::native == std::endian::little, "the wire format is the in-memory layout of a little-endian machine");

namespace details {

// Raises E_INVALIDARG as a traceable error: a body ended before every value was read, or a count
// or length cannot be right.
[[noreturn]] void raise_malformed_body();

class body_writer {
public:
    explicit body_writer(std::vector<std::byte>& out) noexcept : out_(out) {}

    void append(const void* data, std::size_t size)
    {
        if (size == 0)
            return;
        auto p = static_cast<const std::byte*>(data);
        out_.insert(out_.end(), p, p + size);
    }
    void append_u32(std::uint32_t v) { append(&v, 4); }
    std::vector<std::byte>& bytes() noexcept { return out_; }

private:
    std::vector<std::byte>& out_;
};

// Read cursor over a body.
class body_reader {
public:
    explicit body_reader(std::span<const std::byte> body) noexcept : pos_(body.data()), end_(body.data() + body.size()) {}

    std::size_t remaining() const noexcept { return std::size_t(end_ - pos_); }

    // The next `size` bytes; the cursor advances past them.
    const std::byte* take(std::size_t size)
    {
        if (size > remaining())
            raise_malformed_body();
        auto p = pos_;
        pos_ += size;
        return p;
    }
    void read(void* to, std::size_t size) { std::memcpy(to, take(size), size); }
    std::uint32_t read_u32()
    {
        std::uint32_t v;
        read(&v, 4);
        return v;
    }

private:
    const std::byte* pos_;
    const std::byte* end_;
};

template <typename T>
inline constexpr bool is_expected_v = false;
template <typename T, typename E>
inline constexpr bool is_expected_v<std::expected<T, E>> = true;

inline std::uint32_t checked_count(std::size_t n)
{
    if (n > UINT32_MAX)
        raise_malformed_body();
    return std::uint32_t(n);
}

} // namespace details

// codec<T>: static encode(body_writer&, const T&), static decode(body_reader&) -> T, and
// min_size, the fewest bytes any value of T takes (used to check element counts).
template <typename T>
struct codec;

template <>
struct codec<bool> {
    static constexpr std::size_t min_size = 1;
    static void encode(details::body_writer& w, bool v)
    {
        std::uint8_t b = v ? 1 : 0;
        w.append(&b, 1);
    }
    static bool decode(details::body_reader& r) { return std::uint8_t(*r.take(1)) != 0; }
};

template <typename T>
    requires(std::is_integral_v<T> && !std::is_same_v<T, bool>) || std::is_enum_v<T>
struct codec<T> {
    static constexpr std::size_t min_size = sizeof(T);
    static void encode(details::body_writer& w, T v) { w.append(&v, sizeof(T)); }
    static T decode(details::body_reader& r)
    {
        T v;
        r.read(&v, sizeof(T));
        return v;
    }
};

// Records of fixed layout travel as their bytes. A record with padding would send bytes nobody
// initialised and compare unequal after a round trip, so it is refused at compile time.
template <typename T>
    requires std::is_class_v<T> && std::is_trivially_copyable_v<T> && (!details::is_expected_v<T>)
struct codec<T> {
    static_assert(std::has_unique_object_representations_v<T>, "a record sent as raw bytes must have no padding");
    static constexpr std::size_t min_size = sizeof(T);
    static void encode(details::body_writer& w, const T& v) { w.append(&v, sizeof(T)); }
    static T decode(details::body_reader& r)
    {
        T v;
        r.read(&v, sizeof(T));
        return v;
    }
};

} // namespace lurran

// Free functions of the wire format of texts.
namespace lurran::details {

// Appends the u32 count of code units and the code units.
inline void serialize_wstring(std::vector<std::byte>& out, std::wstring_view s)
{
    body_writer w(out);
    w.append_u32(checked_count(s.size()));
    w.append(s.data(), s.size() * sizeof(wchar_t));
}

// The next `count` code units at the cursor; the caller has read the count.
inline std::wstring deserialize_wstring(std::uint32_t count, body_reader& r)
{
    static_assert(sizeof(wchar_t) == 2);
    const std::byte* p = r.take(std::size_t(count) * 2);
    std::wstring s(count, L'\0');
    std::memcpy(s.data(), p, std::size_t(count) * 2);
    return s;
}

} // namespace lurran::details

namespace lurran {

template <>
struct codec<std::wstring> {
    static constexpr std::size_t min_size = 4;
    static void encode(details::body_writer& w, const std::wstring& s) { details::serialize_wstring(w.bytes(), s); }
    static std::wstring decode(details::body_reader& r) { return details::deserialize_wstring(r.read_u32(), r); }
};

template <typename T>
struct codec<std::vector<T>> {
    static constexpr std::size_t min_size = 4;
    static_assert(codec<T>::min_size > 0);
    // Numbers are copied as one block: their encoding is their memory.
    static constexpr bool block_copy = (std::is_integral_v<T> && !std::is_same_v<T, bool>) || std::is_enum_v<T>;

    static void encode(details::body_writer& w, const std::vector<T>& v)
    {
        w.append_u32(details::checked_count(v.size()));
        if constexpr (block_copy) {
            w.append(v.data(), v.size() * sizeof(T));
        } else {
            for (const T& e : v)
                codec<T>::encode(w, e);
        }
    }
    static std::vector<T> decode(details::body_reader& r)
    {
        std::uint32_t n = r.read_u32();
        // Every element takes at least min_size bytes: a count the body cannot hold is refused
        // before anything is reserved for it.
        if (n > r.remaining() / codec<T>::min_size)
            details::raise_malformed_body();
        std::vector<T> v;
        if constexpr (block_copy) {
            v.resize(n);
            if (n != 0)
                r.read(v.data(), std::size_t(n) * sizeof(T));
        } else {
            v.reserve(n);
            for (std::uint32_t i = 0; i < n; ++i)
                v.push_back(codec<T>::decode(r));
        }
        return v;
    }
};

template <typename T>
struct codec<std::expected<T, long>> {
    static_assert(sizeof(long) == 4, "an HRESULT travels as 4 bytes");
    static constexpr std::size_t min_size = 1 + (codec<T>::min_size < 4 ? codec<T>::min_size : 4);
    static void encode(details::body_writer& w, const std::expected<T, long>& v)
    {
        codec<bool>::encode(w, v.has_value());
        if (v)
            codec<T>::encode(w, *v);
        else
            codec<long>::encode(w, v.error());
    }
    static std::expected<T, long> decode(details::body_reader& r)
    {
        if (codec<bool>::decode(r))
            return codec<T>::decode(r);
        return std::unexpected(codec<long>::decode(r));
    }
};

namespace details {

// The values concatenated in order.
template <typename... Ts>
void encode_values(std::vector<std::byte>& out, const Ts&... values)
{
    body_writer w(out);
    (codec<std::remove_cvref_t<Ts>>::encode(w, values), ...);
}

// The values of the given types, read in order from the start of the body. Braced
// initialisation evaluates the decoders left to right.
template <typename... Ts>
std::tuple<Ts...> decode_values(std::span<const std::byte> body)
{
    body_reader r(body);
    return std::tuple<Ts...>{codec<Ts>::decode(r)...};
}

template <typename T>
std::vector<std::byte> encode_result(const T& value)
{
    std::vector<std::byte> out;
    encode_values(out, value);
    return out;
}

template <typename T>
T decode_result(std::span<const std::byte> body)
{
    body_reader r(body);
    return codec<T>::decode(r);
}

} // namespace details
} // namespace lurran
