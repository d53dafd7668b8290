#pragma once
// The block index file "blocks.ddb" (little-endian, no padding anywhere):
//
//   offset  size  field
//   0       8     magic 1, 0x4139BF481DB6F2B8
//   8       8     magic 2, 0x9926D0C94C722E9D
//   16      8     next block-file number when the file was written (informative; a load takes the
//                 next number from the block files on disk)
//   24      36*n  n records, one per index entry, in no particular order:
//                   0   16  block key (low u64, high u64)
//                   16   8  number of the block file holding the block
//                   24   4  offset of the block in that file's uncompressed content
//                   28   4  size of the block
//                   32   4  reference count
//
// An index without entries is a file of 0 bytes, without header.
//
// The reader here is a pure function over the file's bytes so that every check it makes can be
// driven (and fuzzed) without a store on disk.

#include <dedup/engine/block_index.h>

#include <tavik/byte_codec.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <system_error>

namespace dedup::block_index_file {

inline constexpr std::uint64_t magic1 = 0x4139BF481DB6F2B8ull;
inline constexpr std::uint64_t magic2 = 0x9926D0C94C722E9Dull;
inline constexpr std::size_t header_size = 24;
inline constexpr std::size_t record_size = 36;

struct record {
    block_key key;
    std::uint64_t file_number = 0;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    std::uint32_t references = 0;
};

// The header with both magics, and one record; each appends its bytes to `out`.
void write_header(tavik::byte_writer& out, std::uint64_t next_number);
void write_record(tavik::byte_writer& out, const record& r);
// One record from `in`; a record cut short fails the reader (ok() false).
record read_record(tavik::byte_reader& in) noexcept;

// What a load knows about a block file before reading it: where the content of a record must end.
struct file_extent {
    block_file* file = nullptr;  // null: no such block file
    std::uint64_t content_bound = 0;  // no block may end past this byte of the content
};

// Checks the size of a "blocks.ddb" image: 0 is an empty index; otherwise a header and whole
// records. Returns the number of records, or "Folder is invalid".
std::error_code check_size(std::uint64_t size, std::uint64_t& record_count) noexcept;

// Loads the records of a whole "blocks.ddb" image into `index`, checking everything a record
// claims: both magics (whatever the size, so that a file of zeros is never taken for an empty
// index), a block file of that number (else "Internal invariant totally broken"), a size above 0,
// the block inside the file's content and at least one reference (else "Folder is invalid").
// A key met twice keeps its first record. On error the index holds the records read so far.
std::error_code parse(std::span<const std::byte> image, const std::function<file_extent(std::uint64_t)>& find_file,
                      block_index& index);

} // namespace dedup::block_index_file
