#pragma once
// Content-defined cutting of a stream's data into chunks with a Gear rolling hash.
//
// The hash takes one table lookup, one shift and one addition per byte:
//
//     hash = gear_table[byte] + 2 * hash            (u64, wrapping)
//
// Each step shifts the old hash one bit further out, so a byte stops mattering 64 bytes later:
// whether a position qualifies as a cut depends only on the 64 bytes ending there, and equal
// content cuts at equal places wherever it sits in a stream. A position qualifies when the top 13
// bits of the hash are 0 (one position in 8 KiB on random data). The hash starts at 0 with each
// stream and is never reset inside it, not even at a cut.
//
// Which qualifying positions become cuts:
// - a chunk is at least min_chunk_length (256) bytes, except the last chunk of a stream;
// - at the end of a fed piece, once max_pending_length (256 KiB) bytes or more are pending without
//   a cut, they are cut there. The stream reader feeds 256 KiB pieces from offset 0, so the forced
//   cuts of a stream fall at the same places in every run; chunks stay below 512 KiB.
//
// The table is part of what is stored: the cut positions, and so the block keys a stream yields,
// depend on it. One table serves every stream and every run; changing it would make every file
// read again produce new blocks for unchanged data.

#include <dedup/engine/file_io.h>
#include <dedup/engine/folder_tree.h>

#include <tavik/future.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace dedup {

// 256 distinct values. Besides being distinct, no entry g lets a run of its byte cut early: inside
// such a run the hash settles, 64 bytes in, at -g, whose top 13 bits are never all 0 here.
extern const std::array<std::uint64_t, 256> gear_table;

inline constexpr std::uint64_t gear_cut_mask = 0xFFF8000000000000ull;  // top 13 bits
inline constexpr std::uint32_t min_chunk_length = 256;
inline constexpr std::uint32_t max_pending_length = 0x40000;  // 256 KiB, also the reader's piece length

// Receives the chunks of one stream, in stream order. The file ingestion's sink hashes each chunk
// (XXH3-128), adds it to the operation's block writer and keeps the stream's list of references.
//
// Contract: the reader and the chunker call it from one coroutine, one call after another, each
// call awaited before the next. The bytes of a chunk are valid until its add_chunk completes
// (they lie in a read buffer or in the chunker's carry, both reused afterwards). A failure (a hash
// collision, a failed block file) raises through the returned future and ends the stream.
class stream_block_sink {
public:
    // One chunk: 1 to 512 KiB - 1 bytes, at least 256 bytes unless it is the stream's last.
    virtual tavik::details::future<void> add_chunk(const std::byte* bytes, std::uint32_t length) = 0;
    // Called once after the stream's last chunk: closes the list of references being filled.
    virtual tavik::details::future<void> fold_references() = 0;
    // The stream's top-level references, taken once after fold_references.
    virtual std::vector<block_ref> take_references() = 0;

protected:
    ~stream_block_sink() = default;
};

// Cuts one stream. The carry holds the bytes of an unfinished chunk across pieces; it comes from
// `pool` (the operation writer's pool) and goes back there when the chunker is destroyed.
// Used by one coroutine at a time; one chunker per stream.
class gear_chunker {
public:
    gear_chunker(page_buffer_pool& pool, stream_block_sink& sink);
    ~gear_chunker();
    gear_chunker(const gear_chunker&) = delete;
    gear_chunker& operator=(const gear_chunker&) = delete;

    // Cuts one piece of the stream and hands every complete chunk to the sink: straight from
    // `bytes` when the chunk lies inside the piece, else through the carry. What follows the last
    // cut stays in the carry, unless 256 KiB or more are pending (then it is cut at the piece's end).
    // `bytes` must stay valid until the returned future completes.
    // Contract: awaited once, before the next call on this chunker; resumes where the sink's last
    // add_chunk completed, or on the caller's thread when no chunk was cut.
    tavik::details::future<void> feed(const std::byte* bytes, std::int32_t length);

    // Hands what the carry holds to the sink as the stream's last chunk (any length); nothing when
    // the carry is empty.
    tavik::details::future<void> finish();

    std::uint64_t hash() const noexcept { return hash_; }
    std::uint32_t carried() const noexcept { return carry_.used; }

    // The first position p in [from, length) at which `hash`, advanced over data[from..p], qualifies
    // with p + 1 >= first_allowed_end, returned as p + 1; no_cut when there is none. `hash` is left
    // advanced over the bytes it looked at. The loop every byte of a stream goes through.
    static constexpr std::size_t no_cut = ~std::size_t(0);
    static std::size_t find_cut(const std::uint8_t* data, std::size_t from, std::size_t length,
                                std::size_t first_allowed_end, std::uint64_t& hash) noexcept;

private:
    // Hands data[0..n) on as one chunk, after what the carry holds, and empties the carry.
    tavik::details::future<void> cut(const std::byte* data, std::size_t n);
    void append_to_carry(const std::byte* data, std::size_t n);

    std::uint64_t hash_ = 0;
    page_buffer_pool* pool_;
    page_buffer carry_;
    stream_block_sink* sink_;
};

} // namespace dedup
