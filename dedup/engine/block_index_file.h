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

#include <cstddef>
#include <cstring>
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

void write_header(std::byte* out, std::uint64_t next_number) noexcept;
void write_record(std::byte* out, const record& r) noexcept;
record read_record(const std::byte* in) noexcept;

inline std::uint64_t get_u64(const std::byte* p) noexcept
{
    std::uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
}
inline std::uint32_t get_u32(const std::byte* p) noexcept
{
    std::uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void put_u64(std::byte* p, std::uint64_t v) noexcept { std::memcpy(p, &v, 8); }
inline void put_u32(std::byte* p, std::uint32_t v) noexcept { std::memcpy(p, &v, 4); }

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
