#pragma once
// An operation's working copy of the block index and the block files it writes.
//
// An optimize never edits the live index. It copies the index into a block_writer, adds and
// releases blocks on the copy, has every new block file compressed and written
// (complete_compression), writes "blocks.ddb" from the copy and swaps the copy into the store in
// one step (save_block_index). Until that commit the store is unchanged; a writer destroyed
// without commit deletes the block files it wrote.
//
// One writer per store at a time (the folder's operation lock sees to it), used by one coroutine
// at a time: its index and lists need no lock.
//
// Memory: a full block file is closed and compressed on the thread pool while the operation goes
// on adding blocks. Compressing (LZ4HC, tens of MB/s per core) is far slower than reading, so the
// number of closed files still compressing or writing is bounded by the store's compression slots
// (the processors): add_block waits for the oldest of them before it lets the operation go on.

#include <dedup/engine/block_file.h>
#include <dedup/engine/block_index.h>
#include <dedup/engine/block_store.h>
#include <dedup/engine/file_io.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>

namespace dedup {

class block_writer {
public:
    // The caller copied the store's index (moved in here) under the store lock held exclusively
    // and still holds it. `cancel` is the operation's source: compression and writing of block
    // files and of "blocks.ddb" stop with operation_cancelled once it is cancelled.
    block_writer(block_store& store, block_index index,
                 std::optional<tavik::details::cancellation_source> cancel = std::nullopt);
    // Without commit: waits (blocking) for the block files still compressing or writing, deletes
    // every block file it wrote and frees them. When a file cannot be deleted, the store's next
    // number moves past the writer's numbers (nothing else of the store changes).
    ~block_writer();
    block_writer(const block_writer&) = delete;
    block_writer& operator=(const block_writer&) = delete;

    // Adds one reference to the block `key` whose bytes are `bytes` (read before the add
    // completes). False reports a hash collision: the key is known with another length;
    // nothing changes then. A length of 0 or above max_block_length raises E_INVALIDARG.
    // Contract: awaited once, before the next call on this writer; resumes on the caller's thread,
    // or, when it waited for a compression slot, on a pool thread. Raises the failure of a block
    // file it waited for, and E_OUTOFMEMORY when memory runs out.
    tavik::details::future<bool> add_block(const block_key& key, const void* bytes, std::uint32_t length,
                                           block_kind kind, int level);

    // Drops one reference; true when the entry was erased (its last reference). An absent key
    // changes nothing. Never touches block files: a purge deletes unreferenced files later.
    bool release_block(const block_key& key);

    const block_index& index() const noexcept { return index_; }
    block_store& store() const noexcept { return *store_; }
    // The writer's buffers: also the chunker's carry while a stream is read for this writer.
    page_buffer_pool& pool() noexcept { return pool_; }
    std::uint64_t added_bytes() const noexcept { return added_bytes_; }    // modulo 2^64: may go down
    std::uint64_t unique_bytes() const noexcept { return unique_bytes_; }  // likewise
    std::uint64_t next_number() const noexcept { return next_number_; }
    bool committed() const noexcept { return committed_; }
    // The writer goes without commit but leaves its block files on disk (a "blocks.ddb" that names
    // them may be on disk): a later purge removes them once nothing names them.
    void keep_files() noexcept { keep_files_ = true; }
    std::size_t new_file_count() const noexcept { return new_files_.size(); }
    block_file* open_file(block_kind kind) const noexcept { return open_[static_cast<unsigned>(kind)]; }
    // Closed files whose compression or write has not been seen to end; for tests.
    std::size_t files_in_flight() const noexcept { return in_flight_.size(); }

private:
    friend tavik::details::future<void> complete_compression(block_writer& writer, int level);
    friend tavik::details::future<void> save_block_index(block_writer& writer);
    friend tavik::details::future<bool> write_block_index(block_writer& writer, bool paired);
    friend void commit_block_writer(block_writer& writer);
    friend folder_statistics statistics_after_commit(const block_writer& writer);
    friend tavik::details::future<void> compress_blocks(block_writer& writer, block_file& file, int level);

    bool cancelled() const noexcept { return cancel_ && cancel_->is_cancelled(); }
    void new_block_file(block_kind kind);
    // Starts the compression of a full or final file.
    void close_file(block_file& file, int level);
    // Waits until fewer closed files than the store's compression slots are still in flight.
    tavik::details::future<void> wait_for_slot();
    void discard_files() noexcept;

    block_store* store_;
    std::optional<tavik::details::cancellation_source> cancel_;
    page_buffer_pool pool_;
    std::uint64_t next_number_;
    block_file_list new_files_;
    block_index index_;
    std::array<block_file*, block_kind_count> open_{};
    std::deque<block_file*> in_flight_;
    std::uint64_t added_bytes_ = 0;
    std::uint64_t unique_bytes_ = 0;
    bool committed_ = false;
    bool left_files_behind_ = false;  // a discarded file could not be deleted
    bool keep_files_ = false;
};

// Takes the store lock exclusively, copies the index and constructs a writer under it.
std::unique_ptr<block_writer> make_block_writer(block_store& store,
                                                std::optional<tavik::details::cancellation_source> cancel = std::nullopt);

// Closes the writer's open files (an empty one is dropped; its number stays unused) and waits for
// the compression and write of every file of the writer. Raises the first failure after all have
// ended, or operation_cancelled when the operation was cancelled.
// Contract: awaited once, before save_block_index; resumes on a pool or I/O thread.
tavik::details::future<void> complete_compression(block_writer& writer, int level);

// Writes "blocks.ddb" from the writer's index (nothing for a store kept in memory) through
// durable_replace, then commits the writer into the store: the store takes the writer's index,
// block files and statistics in one step under the store lock. Raises on failure, leaving the
// store as it was; every block file of the writer must have been written (complete_compression).
tavik::details::future<void> save_block_index(block_writer& writer);

// The two halves of save_block_index, for an operation that must replace "files.deinfo" between
// them (both store files on disk before either is committed in memory).
//
// write_block_index: raises operation_cancelled when the operation was cancelled, and
// E_UNEXPECTED when a block file of the writer is not written yet; otherwise replaces "blocks.ddb"
// (keeping the previous one as ".backup") and tells whether a previous file now is the backup. With
// `paired` (the index is saved with a tree file), a store without an index gets an empty one first,
// which a new store's empty tree matches, so that a crash before the tree file leaves a ".backup"
// the next load recognises. A failure leaves the previous file in place.
tavik::details::future<bool> write_block_index(block_writer& writer, bool paired);
// Takes the writer's index, block files and statistics into the store in one step.
void commit_block_writer(block_writer& writer);
// Puts the previous "blocks.ddb" back after write_block_index replaced it and a later step failed
// (`had_previous` as write_block_index returned it; without one the new file simply goes). False
// when that failed: the new file may still be what is on disk, and the writer must then keep the
// block files it names (keep_files).
bool restore_block_index(block_writer& writer, bool had_previous);

// The store's statistics as commit_block_writer will leave them (for the header of the tree file
// written before the commit).
folder_statistics statistics_after_commit(const block_writer& writer);

// The block of `key` in the writer's index (no lock: for the operation that owns the writer), or
// an empty view. Safe on the writer's own files at every stage: an open file is read in place (the
// view must be released before the next add_block, which may grow the buffer), a file that is
// compressing keeps its content until the view is released, and a written file is loaded from
// disk.
tavik::details::future<block_view> fetch_pending_block(block_writer& writer, const block_key& key);

// The file is stored compressed only when that saves at least 3 %: (c + 8) * 100 < n * 97, with c
// the length of the LZ4 data and n that of the content.
constexpr bool worth_compressing(std::uint64_t compressed_length, std::uint64_t content_length) noexcept
{
    return (compressed_length + dcb_header_size) * 100 < content_length * 97;
}

// Compresses a closed file with LZ4HC at `level` on the process's compression workers
// (block_compression.h) and writes it: ".dcb" when that saves at least 3 %, else ".dub". Its future
// is the file's pending task.
tavik::details::future<void> compress_blocks(block_writer& writer, block_file& file, int level);

// Writes `buffer` (its used bytes, zero-padded to whole sectors) as the file in the given form,
// flushed to the medium; the result is the size on disk. A store kept in memory writes nothing and
// returns the used length.
tavik::details::future<std::uint64_t> write_block_file(block_file& file, page_buffer& buffer, bool uncompressed);

} // namespace dedup
