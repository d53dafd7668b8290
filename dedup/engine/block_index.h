#pragma once
// The block index: every distinct block of a folder, keyed by the XXH3-128 digest of its bytes,
// with where its bytes live and how many references the folder holds on it.

#include <cstdint>
#include <cstring>
#include <type_traits>

#include <boost/unordered/unordered_flat_map.hpp>

namespace dedup {

class block_file;

// The XXH3-128 digest of a block's bytes: {low 64 bits, high 64 bits}, stored in that order as two
// little-endian u64.
struct block_key {
    std::uint64_t low = 0;
    std::uint64_t high = 0;

    friend bool operator==(const block_key&, const block_key&) noexcept = default;
};
static_assert(sizeof(block_key) == 16);

// The key is already a uniform hash: its first 8 bytes serve as the map's hash unchanged.
struct block_key_hash {
    using is_avalanching = std::true_type;
    std::size_t operator()(const block_key& key) const noexcept { return static_cast<std::size_t>(key.low); }
};

// What the bytes of a block are. Chosen by the code that adds the block and never stored: it only
// selects which of a writer's open block files receives the bytes, so each block file holds blocks
// of one kind.
enum class block_kind : std::uint8_t {
    data = 0,        // a chunk of a file stream
    security = 1,    // a security descriptor
    references = 2,  // up to 8192 block references of one stream
};
inline constexpr unsigned block_kind_count = 3;

// One distinct block. `file` is owned by the store's or a writer's block-file lists, never by the
// entry. The entry exists only while `references` is at least 1.
struct block_entry {
    block_file* file = nullptr;
    std::uint32_t offset = 0;  // of the block's first byte in the file's uncompressed content
    std::uint32_t size = 0;
    std::uint32_t references = 0;
};

using block_index = boost::unordered_flat_map<block_key, block_entry, block_key_hash>;

} // namespace dedup
