#pragma once
// Compression of a block file's content as one LZ4 block, spread over the processors.
//
// A block file holds up to 50 MiB and LZ4HC compresses some tens of MB/s per core, so one thread
// per file leaves most processors idle whenever fewer files than processors are closed at once
// (the last files of an operation, a folder with less data than processors times the limit). The
// content is therefore cut into segments of compression_segment_length bytes that the process's
// compression workers (one fewer than the processors, shared by every writer) compress at the same
// time. Each segment after the first is compressed with the 64 KiB that precede it as its prefix,
// so its matches reach back exactly as far as in one pass over the whole content, and the segments'
// sequences are then joined into one LZ4 block: the literals that end one segment open the first
// sequence of the next. The result is decoded by LZ4_decompress_safe like any LZ4 block.
//
// The cut depends only on the content's length, never on the number of processors or on timing:
// equal content always gives equal bytes. Content of at most one segment gives exactly the bytes
// of LZ4_compress_HC.

#include <dedup/engine/file_io.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <cstddef>
#include <cstdint>

namespace dedup {

inline constexpr std::uint32_t compression_segment_length = 1u << 20;

// Room `compress_content` needs after the output offset for content of `length` bytes.
std::uint64_t compressed_bound(std::uint32_t length) noexcept;

// Compresses `length` bytes at `content` (at least 1) with LZ4HC at `level` into `out` from
// `out_offset` on, growing `out` as needed; the result is the length of the LZ4 block. Working
// buffers come from `pool` and go back to it. Raises operation_cancelled when `cancel` is
// cancelled before every segment was compressed, and E_OUTOFMEMORY when memory runs out; `out`
// holds nothing useful then.
// Contract: `content` stays unchanged until the future completes; resumes on a pool thread (or,
// when the thread pool refuses work, on the caller's).
tavik::details::future<std::uint32_t> compress_content(const std::byte* content, std::uint32_t length,
                                                       page_buffer& out, std::uint32_t out_offset,
                                                       page_buffer_pool& pool, int level,
                                                       const tavik::details::cancellation_source* cancel);

// Joins the LZ4 blocks `parts` (each the compression of one segment, with the segments before it
// as prefix) into one LZ4 block at `out`, which has room for the sum of their lengths; the result
// is the joined length (never more than that sum). False when a part is not a well-formed block.
// Throws std::bad_alloc when memory runs out.
bool join_lz4_blocks(const std::byte* const* parts, const std::uint32_t* lengths, std::size_t count, std::byte* out,
                     std::uint64_t& joined);

} // namespace dedup
