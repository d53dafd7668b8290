#pragma once
// One RPC message and its frame on a byte stream.
//
// Frame, every field little-endian, no padding, magic, version or checksum:
//
//   offset  size  field
//   0       4     call word: bits 0-29 call id, bits 30-31 kind (00 request, 01 one-way,
//                 10 reply, 11 error reply)
//   4       4     method id (a reply repeats the request's)
//   8       4     body length n
//   12      n     body
//
// In memory the call word and the method id form one 64-bit header word, the call word in the
// low half, so a message is that word followed by its body.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>
#include <vector>

namespace lurran::details {

enum class message_kind : std::uint32_t {
    request = 0,
    one_way = 1,
    reply = 2,
    error_reply = 3,
};

inline constexpr std::uint32_t call_id_mask = 0x3FFFFFFF;
inline constexpr std::uint32_t kind_shift = 30;
inline constexpr std::size_t frame_header_size = 12;

// Largest body either end sends or accepts. Every body of the product is far smaller (the largest
// are a few hundred bytes); the bound keeps a peer from making the reader allocate up to 4 GiB
// for one frame.
inline constexpr std::uint32_t max_body_size = 64u << 20;

constexpr std::uint32_t make_call_word(std::uint32_t call_id, message_kind kind) noexcept
{
    return (call_id & call_id_mask) | (static_cast<std::uint32_t>(kind) << kind_shift);
}

// Moved, never copied: a body travels from the encoder to the transport without a copy.
struct message_t {
    std::uint64_t header = 0;
    std::vector<std::byte> body;

    message_t() = default;
    message_t(std::uint32_t call_word, std::uint32_t method_id, std::vector<std::byte> body_) noexcept
        : header(std::uint64_t(call_word) | (std::uint64_t(method_id) << 32)), body(std::move(body_))
    {
    }
    message_t(message_t&& other) noexcept : header(other.header), body(std::move(other.body)) {}
    message_t& operator=(message_t&& other) noexcept
    {
        header = other.header;
        body = std::move(other.body);
        return *this;
    }
    message_t(const message_t&) = delete;
    message_t& operator=(const message_t&) = delete;

    std::uint32_t call_word() const noexcept { return std::uint32_t(header); }
    std::uint32_t method_id() const noexcept { return std::uint32_t(header >> 32); }
    std::uint32_t call_id() const noexcept { return call_word() & call_id_mask; }
    message_kind kind() const noexcept { return message_kind(call_word() >> kind_shift); }
};

inline void store_u32le(std::byte* at, std::uint32_t v) noexcept
{
    for (int i = 0; i < 4; ++i)
        at[i] = std::byte((v >> (8 * i)) & 0xFF);
}

inline std::uint32_t load_u32le(const std::byte* at) noexcept
{
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i)
        v |= std::uint32_t(at[i]) << (8 * i);
    return v;
}

// The 12-byte frame header of a message whose body has `body_size` bytes.
inline void encode_frame_header(const message_t& m, std::uint32_t body_size, std::byte (&out)[frame_header_size]) noexcept
{
    store_u32le(out, m.call_word());
    store_u32le(out + 4, m.method_id());
    store_u32le(out + 8, body_size);
}

struct frame_header {
    std::uint32_t call_word;
    std::uint32_t method_id;
    std::uint32_t body_size;
};

inline frame_header decode_frame_header(const std::byte (&in)[frame_header_size]) noexcept
{
    return {load_u32le(in), load_u32le(in + 4), load_u32le(in + 8)};
}

} // namespace lurran::details
