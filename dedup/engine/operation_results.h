#pragma once
// What the operations on a deduplicated folder return, and the options an optimize takes. Plain
// records without padding: their in-memory layout (little-endian) is their layout on the pipe.

#include <dedup/engine/folder_statistics.h>

#include <ostrel/flags.h>

#include <cstddef>
#include <cstdint>
#include <expected>
#include <type_traits>

namespace dedup {

// The result of an optimize and of the dry run behind the estimate: the folder statistics after
// the operation, then the operation's counters.
struct resync_stats {
    std::uint64_t uncompressed_size = 0;
    std::uint64_t unique_size = 0;
    std::uint64_t compressed_size = 0;
    std::uint64_t block_count = 0;
    std::uint32_t files_added = 0;           // new or changed files, counted when taken up
    std::uint32_t files_deleted = 0;
    std::uint32_t folders_added = 0;
    std::uint32_t folders_deleted = 0;
    std::uint32_t placeholders_updated = 0;  // dirty placeholders whose metadata was read again
    std::uint32_t placeholders_purged = 0;   // items handed back to the projection
    std::uint32_t blocks_purged = 0;         // block files deleted by the block purge
    std::uint32_t items_skipped = 0;         // dirty placeholders that could not be read again

    void set_statistics(const folder_statistics& statistics) noexcept
    {
        uncompressed_size = statistics.uncompressed_size;
        unique_size = statistics.unique_size;
        compressed_size = statistics.compressed_size;
        block_count = statistics.block_count;
    }
};
static_assert(sizeof(resync_stats) == 64);
static_assert(offsetof(resync_stats, files_added) == 32);
static_assert(offsetof(resync_stats, placeholders_purged) == 52);
static_assert(offsetof(resync_stats, items_skipped) == 60);
static_assert(std::is_trivially_copyable_v<resync_stats> && std::is_standard_layout_v<resync_stats>);

// The result of a recover.
struct recover_stats {
    std::uint32_t files_recovered = 0;
    std::uint32_t folders_recovered = 0;
};
static_assert(sizeof(recover_stats) == 8);
static_assert(offsetof(recover_stats, folders_recovered) == 4);
static_assert(std::is_trivially_copyable_v<recover_stats> && std::is_standard_layout_v<recover_stats>);

// The record or an HRESULT in its place, with the has-value byte after the record.
static_assert(sizeof(std::expected<resync_stats, long>) == 72);
static_assert(sizeof(std::expected<recover_stats, long>) == 12);

// What an optimize purges; no other bit is tested.
enum class purge_options : std::uint32_t {
    purge_cache = 1,       // hand clean placeholders back too, dropping their local data
    purge_blocks = 2,      // delete block files no index entry refers to
    converting = 0x1000,   // the dry run over a folder without a store (set only by convert)
};

using purge_flags = Ostrel::details::flags<purge_options>;
static_assert(sizeof(purge_flags) == 4);

} // namespace dedup
