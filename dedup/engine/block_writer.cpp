#include <dedup/engine/block_writer.h>

#include <dedup/engine/block_compression.h>
#include <dedup/engine/block_index_file.h>
#include <dedup/engine/durable_replace.h>
#include <dedup/engine/store_names.h>

#include <tavik/error.h>
#include <tavik/lock_guard.h>
#include <tavik/thread_pool.h>


#include <algorithm>
#include <limits>
#include <cstring>
#include <new>
#include <vector>

namespace dedup {

using tavik::details::exclusive_lock_guard;

namespace {

[[noreturn]] void throw_out_of_memory() { tavik::details::throw_hresult(E_OUTOFMEMORY); }

// Grows a buffer for `needed` bytes the way every growing buffer does: to at least twice its
// capacity, so that appends cost amortised constant time.
void grow(page_buffer& buffer, std::uint64_t needed)
{
    std::uint64_t target = std::max<std::uint64_t>(2 * std::uint64_t(buffer.capacity), needed);
    target = std::min<std::uint64_t>(target, std::numeric_limits<std::uint32_t>::max() - page_buffer::page_size);
    if (target < needed)
        throw_out_of_memory();
    try {
        buffer.reserve(static_cast<std::uint32_t>(target));
    } catch (const std::bad_alloc&) {
        throw_out_of_memory();
    }
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Construction and destruction

block_writer::block_writer(block_store& store, block_index index, std::optional<tavik::details::cancellation_source> cancel)
    : store_(&store), cancel_(std::move(cancel)), next_number_(store.next_number_locked()), index_(std::move(index))
{
    try {
        for (unsigned kind = 0; kind < block_kind_count; ++kind)
            new_block_file(static_cast<block_kind>(kind));
    } catch (...) {
        discard_files();
        throw;
    }
}

std::unique_ptr<block_writer> make_block_writer(block_store& store, std::optional<tavik::details::cancellation_source> cancel)
{
    exclusive_lock_guard guard(store.store_lock());
    return std::make_unique<block_writer>(store, block_index(store.index()), std::move(cancel));
}

block_writer::~block_writer()
{
    if (committed_)
        return;
    if (keep_files_) {
        for (block_file& file : new_files_)
            if (file.pending)
                tavik::details::wait_blocking(tavik::details::shared_future_impl<void>::as_future(file.pending));
        new_files_.clear_and_dispose([](block_file* file) { delete file; });
        in_flight_.clear();
        open_.fill(nullptr);
        store_->reserve_numbers(next_number_);
        return;
    }
    discard_files();
    if (left_files_behind_) {
        // Their numbers must not come round again before a reload sets the next number past
        // them: a later file of the same number but the other form would sit beside the stale
        // one, and a folder holding both "n.dcb" and "n.dub" does not load.
        store_->reserve_numbers(next_number_);
    }
}

void block_writer::discard_files() noexcept
{
    // Compressions still running use the files and the pool: let them end first. They stop at
    // their next step when the operation was cancelled.
    for (block_file& file : new_files_) {
        if (file.pending)
            tavik::details::wait_blocking(tavik::details::shared_future_impl<void>::as_future(file.pending));
    }
    new_files_.clear_and_dispose([this](block_file* file) {
        // Whatever was written of it, complete or not, goes. A file that cannot be deleted is
        // unreferenced: the next purge after a reload removes it.
        if (file->pending && !store_->path().empty() && !store_->file_system().remove(file->path())) {
            const DWORD error = GetLastError();
            if (error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND)
                left_files_behind_ = true;
        }
        delete file;
    });
    in_flight_.clear();
    open_.fill(nullptr);
}

void block_writer::new_block_file(block_kind kind)
{
    auto file = std::make_unique<block_file>(*store_, next_number_);
    file->pool = &pool_;
    file->buffer = pool_.take();
    file->buffer.used = 0;
    // Data files fill up to the limit: their content gets its largest size at once. Doubling
    // from a small buffer would copy it at every step into fresh memory, and under Wine every
    // fresh page costs a fault (about 11 us) on the thread that reads and cuts the files: some
    // 2.3 faulted pages per page of data instead of 1. The other kinds seldom fill and keep
    // growing as needed.
    if (kind == block_kind::data) {
        const std::uint64_t most = std::min<std::uint64_t>(max_block_file_content(store_->block_file_size_limit()),
                                                           std::numeric_limits<std::uint32_t>::max() -
                                                               page_buffer::page_size);
        if (file->buffer.capacity < most) {
            try {
                file->buffer.reserve(static_cast<std::uint32_t>(most));
            } catch (const std::bad_alloc&) {
                throw_out_of_memory();
            }
        }
    }
    file->last_use.store(store_->now(), std::memory_order_relaxed);
    file->loaded = true;
    file->where = block_file::place::writer;
    ++next_number_;
    open_[static_cast<unsigned>(kind)] = file.get();
    new_files_.push_back(*file.release());
}

// ---------------------------------------------------------------------------------------------
// Adding and releasing blocks

tavik::details::future<bool> block_writer::add_block(const block_key& key, const void* bytes, std::uint32_t length,
                                                     block_kind kind, int level)
{
    // An empty block could not be told from a damaged record once stored, and a huge one would let
    // a file's content outgrow what a load accepts.
    if (length == 0 || length > max_block_length || static_cast<unsigned>(kind) >= block_kind_count)
        tavik::details::throw_hresult(E_INVALIDARG);

    try {
        if (auto it = index_.find(key); it != index_.end()) {
            // Same key and same length are the same block; the bytes are not compared.
            if (it->second.size != length)
                co_return false;
            ++it->second.references;
            added_bytes_ += length;
            co_return true;
        }

        block_file& file = *open_[static_cast<unsigned>(kind)];
        const std::uint32_t offset = file.buffer.used;
        const std::uint64_t used = std::uint64_t(offset) + length;
        if (used > file.buffer.capacity) {
            // A view from fetch_pending_block may point into the buffer: growing waits for it.
            co_await file.lock.lock();
            try {
                grow(file.buffer, used);
            } catch (...) {
                file.lock.unlock();
                throw;
            }
            file.lock.unlock();
        }
        index_.try_emplace(key, block_entry{&file, offset, length, 1});
        std::memcpy(file.buffer.data + offset, bytes, length);
        file.buffer.used = static_cast<std::uint32_t>(used);
        added_bytes_ += length;
        unique_bytes_ += length;

        if (used >= store_->block_file_size_limit()) {
            // The successor first: should it fail, the full file simply stays open; a file that
            // is neither open nor compressing can never be committed (save_block_index refuses).
            new_block_file(kind);
            close_file(file, level);
            co_await wait_for_slot();
        }
        co_return true;
    } catch (const std::bad_alloc&) {
        // The index's growth, a new block file or its task: no memory is a failure of the
        // operation, not of the process.
        throw_out_of_memory();
    }
}

bool block_writer::release_block(const block_key& key)
{
    auto it = index_.find(key);
    if (it == index_.end())
        return false;
    block_entry& entry = it->second;
    added_bytes_ -= entry.size;
    if (--entry.references != 0)
        return false;
    unique_bytes_ -= entry.size;
    index_.erase(it);
    return true;
}

void block_writer::close_file(block_file& file, int level)
{
    file.pending = tavik::details::make_shared_future(compress_blocks(*this, file, level));
    in_flight_.push_back(&file);
}

tavik::details::future<void> block_writer::wait_for_slot()
{
    while (!in_flight_.empty() && in_flight_.front()->written())
        in_flight_.pop_front();
    while (in_flight_.size() >= store_->compression_slots()) {
        block_file* oldest = in_flight_.front();
        auto task = oldest->pending;
        co_await task;  // its failure fails the operation now rather than at the end
        in_flight_.pop_front();
        while (!in_flight_.empty() && in_flight_.front()->written())
            in_flight_.pop_front();
    }
}

// ---------------------------------------------------------------------------------------------
// Compression and writing

tavik::details::future<void> compress_blocks(block_writer& writer, block_file& file, int level)
{
    if (writer.cancelled())
        tavik::details::throw_operation_cancelled();
    co_await tavik::details::resume_on_thread_pool();

    page_buffer& content = file.buffer;
    const std::uint32_t n = content.used;
    page_buffer scratch = file.pool->take();
    scratch.used = 0;
    std::exception_ptr failure;
    try {
        // Spread over the processors (block_compression.h); the content stays as it is meanwhile.
        const std::uint32_t c = co_await compress_content(content.data, n, scratch, dcb_header_size, *file.pool,
                                                          level, writer.cancel_ ? &*writer.cancel_ : nullptr);
        write_dcb_header(std::span<std::byte, dcb_header_size>(scratch.data, dcb_header_size), {n, c});
        // Compressed only when that saves at least 3 %.
        const bool compressed = worth_compressing(std::uint64_t(c), n);
        if (compressed) {
            scratch.used = static_cast<std::uint32_t>(c) + dcb_header_size;
        } else {
            file.uncompressed = true;
            // The content goes to disk as it is, padded to whole sectors. With sectors above the
            // page size that can need a larger buffer, and moving the content must wait for the
            // views of fetch_pending_block that point into it.
            const std::uint32_t sector = file.store->sector_size();
            const std::uint64_t rounded = (std::uint64_t(n) + sector - 1) / sector * sector;
            if (!file.store->path().empty() && rounded > content.capacity) {
                co_await file.lock.lock();
                try {
                    grow(content, rounded);
                } catch (...) {
                    file.lock.unlock();
                    throw;
                }
                file.lock.unlock();
            }
        }

        if (writer.cancelled())
            tavik::details::throw_operation_cancelled();
        file.size_on_disk = co_await write_block_file(file, compressed ? scratch : content, !compressed);
        file.stored = true;
    } catch (...) {
        failure = std::current_exception();
    }
    file.pool->give(std::move(scratch));

    // A fetch_pending_block view may still point into the content.
    co_await file.lock.lock();
    if (!failure) {
        file.loaded = false;
        file.pool->give(std::move(file.buffer));
    }
    file.lock.unlock();
    if (failure)
        std::rethrow_exception(failure);
}

tavik::details::future<std::uint64_t> write_block_file(block_file& file, page_buffer& buffer, bool uncompressed)
{
    block_store& store = *file.store;
    if (store.path().empty())
        co_return buffer.used;

    const std::uint32_t sector = store.sector_size();
    const std::uint64_t rounded = (std::uint64_t(buffer.used) + sector - 1) / sector * sector;
    // Only a buffer that no reader can see may move here (compress_blocks grows a file's content
    // under the file's lock before it comes here).
    if (rounded > buffer.capacity)
        grow(buffer, rounded);
    // The padding is written too: zeros, not whatever the recycled buffer held there.
    std::memset(buffer.data + buffer.used, 0, static_cast<std::size_t>(rounded - buffer.used));

    store_file_system& fs = store.file_system();
    fs.create_directory(block_subfolder_path(store.path(), file.number));  // "already exists" is expected
    overlapped_file handle = fs.create_file(file.path(uncompressed), true);
    std::uint32_t written = co_await fs.write(handle, 0, buffer.data, static_cast<std::uint32_t>(rounded));
    if (written != rounded)
        tavik::details::throw_win32_error(ERROR_WRITE_FAULT);
    // The index that names this file is swapped in only after this: it must never point at data
    // that a power loss can still take away.
    fs.flush(handle);
    co_return written;
}

tavik::details::future<void> complete_compression(block_writer& writer, int level)
{
    for (unsigned kind = 0; kind < block_kind_count; ++kind) {
        block_file* file = std::exchange(writer.open_[kind], nullptr);
        if (!file)
            continue;
        if (file->buffer.used > 0) {
            writer.close_file(*file, level);
        } else {
            writer.new_files_.erase(writer.new_files_.iterator_to(*file));
            delete file;
        }
    }

    if (writer.cancelled())
        tavik::details::throw_operation_cancelled();
    std::exception_ptr failure;
    std::vector<std::shared_ptr<tavik::details::shared_future_impl<void>>> tasks;
    for (block_file& file : writer.new_files_)
        if (file.pending)
            tasks.push_back(file.pending);
    for (auto& task : tasks) {
        try {
            co_await task;
        } catch (...) {
            if (!failure)
                failure = std::current_exception();
        }
    }
    writer.in_flight_.clear();
    if (failure)
        std::rethrow_exception(failure);
}

// ---------------------------------------------------------------------------------------------
// The index file and the commit

namespace {

// The image of "blocks.ddb", produced a slice at a time so that a large index never needs a second
// copy of itself in memory.
class index_image_source final : public replacement_source {
public:
    index_image_source(const block_index& index, std::uint64_t next_number) : index_(index), it_(index.begin())
    {
        if (!index.empty()) {
            tavik::byte_writer out(header_);
            block_index_file::write_header(out, next_number);
        }
    }

    std::span<const std::byte> next() override
    {
        if (!header_.empty() && !header_sent_) {
            header_sent_ = true;
            return header_;
        }
        slice_.clear();
        tavik::byte_writer out(slice_);
        for (; it_ != index_.end() && slice_.size() + block_index_file::record_size <= slice_bytes; ++it_) {
            const auto& [key, entry] = *it_;
            block_index_file::write_record(out, {key, entry.file->number, entry.offset, entry.size, entry.references});
        }
        return slice_;
    }

private:
    static constexpr std::size_t slice_bytes = 4u << 20;

    const block_index& index_;
    block_index::const_iterator it_;
    std::vector<std::byte> header_;
    bool header_sent_ = false;
    std::vector<std::byte> slice_;
};

} // namespace

tavik::details::future<void> save_block_index(block_writer& writer)
{
    co_await write_block_index(writer, false);
    commit_block_writer(writer);
}

namespace {

std::uint64_t bytes_on_disk(const block_file_list& files)
{
    std::uint64_t total = 0;
    for (const block_file& file : files)
        total += file.size_on_disk;
    return total;
}

} // namespace

tavik::details::future<bool> write_block_index(block_writer& writer, bool paired)
{
    if (writer.cancelled())
        tavik::details::throw_operation_cancelled();
    // Committing an index that names a file still in memory would lose its blocks.
    for (block_file& file : writer.new_files_) {
        if (!file.pending || !file.pending->is_ready() || !file.stored)
            tavik::details::throw_hresult(E_UNEXPECTED);
    }
    block_store& store = writer.store();
    if (store.path().empty())
        co_return false;
    const std::wstring target = block_index_path(store.path());
    // An interrupted swap is finished first (durable_replace does it too), so that what is on
    // disk now is what a failure must put back.
    recover_interrupted_replace(store.file_system(), target);
    const bool had_previous = store.file_system().file_exists(target);
    if (!had_previous && paired) {
        // An empty index first, matching the empty tree of a new store, so that a crash after the
        // real one leaves a ".backup" that the next load can recognise as the tree's match.
        co_await durable_replace(store.file_system(), target, std::span<const std::span<const std::byte>>());
    }
    index_image_source source(writer.index_, writer.next_number_);
    co_await durable_replace(store.file_system(), target, source);
    co_return had_previous || paired;
}

void commit_block_writer(block_writer& writer)
{
    writer.store().commit({writer.index_, writer.new_files_, writer.added_bytes_, writer.unique_bytes_,
                           bytes_on_disk(writer.new_files_), writer.next_number_});
    writer.in_flight_.clear();
    writer.committed_ = true;
}

bool restore_block_index(block_writer& writer, bool had_previous)
{
    block_store& store = writer.store();
    if (store.path().empty())
        return true;
    store_file_system& fs = store.file_system();
    const std::wstring target = block_index_path(store.path());
    if (!had_previous)
        return fs.remove(target) || GetLastError() == ERROR_FILE_NOT_FOUND;
    // The new file moves to ".new" and ".backup" back into place. A crash between the two renames
    // leaves ".new" beside ".backup" without a target, which the next load completes to the new
    // file and then recognises as not matching the tree file (block_store::open_store).
    return fs.replace(target, backup_path(target), replacement_path(target));
}

folder_statistics statistics_after_commit(const block_writer& writer)
{
    folder_statistics now = writer.store().statistics();
    return {now.uncompressed_size + writer.added_bytes_, now.unique_size + writer.unique_bytes_,
            now.compressed_size + bytes_on_disk(writer.new_files_), writer.index_.size()};
}

// ---------------------------------------------------------------------------------------------
// Reads by the operation that owns the writer

tavik::details::future<block_view> fetch_pending_block(block_writer& writer, const block_key& key)
{
    auto it = writer.index().find(key);
    if (it == writer.index().end())
        co_return block_view();
    // No purge runs while the operation holds its writer, so the reference needs no store lock.
    block_file_ref file(it->second.file);
    co_return co_await get_block_data(std::move(file), it->second.offset, it->second.size);
}

} // namespace dedup
