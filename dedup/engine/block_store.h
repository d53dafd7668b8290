#pragma once
// The block store of one deduplicated folder: its block index, its block files and the cache of
// loaded block files.
//
// Lock order, per folder: operation lock, tree lock, the store lock, then a block file's own lock.
// One exception is deliberate: a load holds its block file's lock exclusively while it takes the
// store lock to enter the file into the cache. It does not deadlock because whoever holds the
// store lock never waits for a block file's lock: the cache eviction only tries file locks
// (try_lock) and the purge takes none. Keep it that way.
//
// The store lock is an SRW lock held only for short synchronous work (a lookup, the commit, the
// purge, an eviction pass, the load of the index), never across an await. A block file's lock is an
// async_shared_lock, because a reader's hold spans awaits: a block_view keeps it shared until
// the view goes, on whatever thread that is.

#include <dedup/engine/block_file.h>
#include <dedup/engine/block_index.h>
#include <dedup/engine/folder_statistics.h>
#include <dedup/engine/file_io.h>
#include <dedup/engine/store_file_system.h>

#include <tavik/future.h>
#include <tavik/thread_pool.h>
#include <tavik/unique_handle.h>

#include <windows.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <system_error>
#include <unordered_map>

namespace dedup {

// Choices a store takes at construction; the defaults are the product's.
struct block_store_options {
    store_file_system* file_system = nullptr;  // null: the real file system
    std::function<std::uint64_t()> clock;      // FILETIME now; empty: GetSystemTimePreciseAsFileTime
    std::uint32_t cache_limit = 0;             // 0: one thirty-second of physical memory, at least 4
    std::uint32_t compression_slots = 0;       // files a writer compresses at once; 0: the processors
    bool eviction_timer = true;                // false: nothing unloads idle files but evict_idle_files
    std::uint32_t sector_size = 0;             // 0: the volume's physical sector size (512 when unknown)
    // How waiters of block-file locks released under the store lock are handed to the pool; tests
    // make it refuse, as an exhausted pool does.
    tavik::details::thread_pool_submitter submit = &TrySubmitThreadpoolCallback;
};

// A block's bytes in a loaded block file. While the view exists the file stays loaded: the view
// holds the file's lock shared (and a block_file_ref). Release views promptly; an empty view
// reports a key that is not in the index.
class block_view {
public:
    block_view() noexcept = default;
    // Takes over one shared hold of the file's lock.
    block_view(block_file_ref file, const std::byte* data, std::uint32_t size) noexcept
        : file_(std::move(file)), data_(data), size_(size) {}
    block_view(block_view&& other) noexcept;
    block_view& operator=(block_view&& other) noexcept;
    block_view(const block_view&) = delete;
    block_view& operator=(const block_view&) = delete;
    ~block_view() { reset(); }

    // Releases the file's lock; the view is empty afterwards. Any thread may call it.
    void reset() noexcept;

    bool empty() const noexcept { return !file_; }
    explicit operator bool() const noexcept { return !empty(); }
    const std::byte* data() const noexcept { return data_; }
    std::uint32_t size() const noexcept { return size_; }
    std::span<const std::byte> bytes() const noexcept { return {data_, size_}; }
    block_file* file() const noexcept { return file_.get(); }

private:
    block_file_ref file_;
    const std::byte* data_ = nullptr;
    std::uint32_t size_ = 0;
};

// What an operation's writer hands to the store at its commit (block_store::commit).
struct block_commit {
    block_index& index;            // swapped with the store's: the writer keeps the old one
    block_file_list& files;        // the block files it wrote, all stored and flushed; emptied
    std::uint64_t added_bytes;     // modulo 2^64, added to the uncompressed size
    std::uint64_t unique_bytes;    // likewise, added to the unique size
    std::uint64_t bytes_on_disk;   // of the files, added to the compressed size
    std::uint64_t next_number;     // past every number the writer took
};

class block_store {
public:
    explicit block_store(block_store_options options = {});
    // Stops the eviction timer (waiting for a pass that runs), then frees every block file and
    // buffer. No reader may be using the store any more.
    ~block_store();
    block_store(const block_store&) = delete;
    block_store& operator=(const block_store&) = delete;

    // Sets up a freshly constructed store: path of the block folder (empty for a store kept in
    // memory, which reads and writes no file), block-file size limit, and the two saved statistics
    // that the index does not hold (uncompressed and unique size). Never fails: the memory and
    // sector-size probes fall back to defaults, and a limit outside 1..max_block_file_size_limit
    // is kept in range for writing and reported by open_store as "Folder is invalid".
    void init(std::wstring path, std::uint32_t block_file_size_limit,
              std::optional<folder_statistics> statistics = std::nullopt);

    // Loads the block files found in the block folder and "blocks.ddb". Errors are returned:
    // "Folder is invalid" for anything on disk that does not hold together, "Internal invariant
    // totally broken" for a record naming a block file that does not exist, a "dedup.io" HRESULT
    // when "blocks.ddb" cannot be opened or mapped. `empty_tree` tells that the folder tree file
    // holds an empty tree and zero statistics: a missing "blocks.ddb" is then an empty index even
    // when block files exist (a first optimize that wrote block files but stopped before its
    // index), and the next purge deletes those files.
    //
    // The pair of store files: an optimize replaces "blocks.ddb" before "files.deinfo", so a crash
    // between the two leaves the new index beside the old tree, whose match is "blocks.ddb.backup".
    // The tree file's statistics (given to init) tell the pairs apart without a field of their
    // own: an index matches when its block count, the sum of its block sizes (the unique size) and
    // the sum of size times references (the uncompressed size) are the tree file's. When
    // "blocks.ddb" does not match and ".backup" does, the backup is put back in place and loaded
    // (an optimize writes an empty index first when there is none, so that even the first one
    // leaves a backup). Otherwise "blocks.ddb" is loaded as it is.
    std::error_code open_store(bool empty_tree = false);

    // {uncompressed size, unique size, compressed size, block count}, under the store lock shared.
    folder_statistics statistics() const;

    // Deletes every block file that no index entry refers to and that no reader holds; returns the
    // number deleted. A file held by a reader stays for a later purge.
    std::uint64_t purge_blocks();

    // Frees every block file of both lists. No reader may hold one.
    void clear_block_files() noexcept;

    // One pass of the cache eviction: unloads every loaded file not read for 30 s whose lock is
    // free at once; when nothing stays loaded, frees the pooled buffers and stops the timer. The
    // eviction timer runs it every 5 s while files are loaded.
    void evict_idle_files();

    // Readers that walk the index hold this shared; a reader that uses an entry's block file after
    // releasing it takes a block_file_ref first.
    SRWLOCK& store_lock() const noexcept { return lock_; }
    const block_index& index() const noexcept { return index_; }

    const std::wstring& path() const noexcept { return path_; }
    std::uint32_t block_file_size_limit() const noexcept { return limit_; }
    std::uint32_t sector_size() const noexcept { return sector_size_; }
    std::uint32_t cache_limit() const noexcept { return cache_limit_; }
    std::uint32_t compression_slots() const noexcept { return compression_slots_; }
    store_file_system& file_system() const noexcept { return *fs_; }
    page_buffer_pool& pool() noexcept { return pool_; }
    tavik::details::thread_pool_submitter submitter() const noexcept { return options_.submit; }
    std::uint64_t now() const;

    // Block-file numbers. A writer takes its numbers from next_number_locked() on, under the store
    // lock (one writer at a time, so no two writers take the same numbers). Its commit moves the
    // next number past them; a writer that goes without commit but leaves files on disk calls
    // reserve_numbers, so that those numbers do not come round again before a reload.
    std::uint64_t next_number_locked() const noexcept { return next_number_; }
    void reserve_numbers(std::uint64_t end);

    // Takes the store lock exclusively and swaps the writer's index, block files and statistics
    // in, in one step. The files join the cache when the operation left them loaded.
    void commit(block_commit commit);

    // Under the store lock; for tests and statistics.
    std::uint64_t next_number() const;
    std::uint64_t cold_count() const;
    std::uint64_t hot_count() const;

private:
    friend tavik::details::future<void> read_block_file(block_file& file);

    static void CALLBACK eviction_callback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) noexcept;
    void arm_eviction_timer_locked() noexcept;
    void unload_locked(block_file& file) noexcept;
    void free_file(block_file* file) noexcept;
    std::error_code load_locked(bool empty_tree);
    // Parses the index file at `path` into index_; `missing` is set when it does not exist.
    std::error_code load_index_locked(const std::wstring& path, const std::unordered_map<std::uint64_t, block_file*>& by_number,
                                      bool& missing);
    bool index_matches_saved_locked() const noexcept;
    // Step of a load after its file has been read: makes room in the cache and enters the file.
    void enter_cache(block_file& file);

    block_store_options options_;
    store_file_system* fs_;
    std::uint32_t limit_ = max_block_file_size_limit;
    bool limit_valid_ = true;
    std::uint32_t sector_size_ = 512;
    std::uint32_t cache_limit_ = 16;
    std::uint32_t compression_slots_ = 1;
    std::wstring path_;
    std::uint64_t next_number_ = 0;
    block_file_list cold_;
    block_file_list hot_;
    block_index index_;
    mutable SRWLOCK lock_ = SRWLOCK_INIT;
    // Closed without waiting: the destructor stops the timer and waits for a running pass itself
    // before it resets this.
    tavik::unique_threadpool_timer_nowait eviction_timer_;
    page_buffer_pool pool_;
    std::optional<folder_statistics> saved_;  // as the tree file recorded them
    std::uint64_t uncompressed_size_ = 0;
    std::uint64_t unique_size_ = 0;
    std::uint64_t compressed_size_ = 0;
    std::uint32_t purge_generation_ = 0;
};

// Buffers left by stores of this process when their files went idle or the store went away. A
// cold load takes its buffers from here when its store has none: the pages are already touched,
// and the first touch of fresh memory costs more than the decompression itself. It keeps at most
// one load's pair (compressed and uncompressed), the largest it was given.
inline constexpr std::size_t spare_load_buffer_count = 2;
page_buffer_pool& spare_load_buffers() noexcept;

// The `size` bytes at `offset` of the file's content, or the whole content when size is 0 (for a
// ".dub" file that includes its padding). Loads the file when it is not loaded.
// Contract: awaited once; resumes on a pool or I/O thread. A range outside the content and every
// failure of the load raise traceable_error (the file then stays unloaded, so the next read tries
// again). Nothing in it tests for cancellation: the caller's co_await does.
tavik::details::future<block_view> get_block_data(block_file_ref file, std::uint32_t offset, std::uint32_t size);

// The block of `key` in the store's committed index, or an empty view when the key is absent
// (nothing is loaded then). The store lock is held shared only for the lookup.
tavik::details::future<block_view> fetch_block(block_store& store, const block_key& key);

// Loads a file's content into memory; called with the file's lock held exclusively.
tavik::details::future<void> read_block_file(block_file& file);

} // namespace dedup
