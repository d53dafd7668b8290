#pragma once
// The four statistics of a folder's store. No padding: the in-memory layout is the layout in the
// folder tree file's header and on the pipe.

#include <cstdint>

namespace dedup {

struct folder_statistics {
    std::uint64_t uncompressed_size = 0;  // every block reference held, duplicates included
    std::uint64_t unique_size = 0;        // bytes of the distinct blocks in the index
    std::uint64_t compressed_size = 0;    // bytes of all block files on disk
    std::uint64_t block_count = 0;        // entries of the index
};
static_assert(sizeof(folder_statistics) == 32);

} // namespace dedup
