// The cache of loaded block files and the reads of blocks: loading a block file into memory on
// first use, entering it into the cache (evicting one that nobody reads at the cache limit), the
// eviction pass that unloads idle files, and the block views that keep a file loaded while read.

#include <dedup/engine/block_store.h>

#include <tavik/byte_codec.h>
#include <tavik/error.h>
#include <tavik/lock_guard.h>

#include <lz4.h>

#include <new>

namespace dedup {

using tavik::details::exclusive_lock_guard;
using tavik::details::shared_lock_guard;

page_buffer_pool& spare_load_buffers() noexcept
{
    static page_buffer_pool spare;
    return spare;
}

namespace {

// 30 s in FILETIME units: files not read for this long are unloaded by the next eviction pass.
constexpr std::uint64_t idle_unload_ticks = 300'000'000;
constexpr DWORD eviction_period_ms = 5'000;

} // namespace

// ---------------------------------------------------------------------------------------------
// block_view

block_view::block_view(block_view&& other) noexcept
    : file_(std::move(other.file_)), data_(std::exchange(other.data_, nullptr)), size_(std::exchange(other.size_, 0))
{
}

block_view& block_view::operator=(block_view&& other) noexcept
{
    if (this != &other) {
        reset();
        file_ = std::move(other.file_);
        data_ = std::exchange(other.data_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void block_view::reset() noexcept
{
    if (file_) {
        file_->lock.unlock_shared();
        file_.reset();
    }
    data_ = nullptr;
    size_ = 0;
}

// ---------------------------------------------------------------------------------------------
// The cache

void block_store::unload_locked(block_file& file) noexcept
{
    file.loaded = false;
    pool_.give(std::move(file.buffer));
}

void block_store::arm_eviction_timer_locked() noexcept
{
    if (!eviction_timer_)
        return;
    FILETIME due;
    LONGLONG relative = -static_cast<LONGLONG>(idle_unload_ticks);
    due.dwLowDateTime = static_cast<DWORD>(relative);
    due.dwHighDateTime = static_cast<DWORD>(static_cast<ULONGLONG>(relative) >> 32);
    SetThreadpoolTimer(eviction_timer_.get(), &due, eviction_period_ms, 0);
}

void block_store::enter_cache(block_file& file)
{
    // Declared before the guard: a reader that queued on a candidate's lock while it was tried
    // runs only once the store lock is released (it takes that lock itself on its way).
    async_shared_lock::deferred_resumptions later(options_.submit);
    exclusive_lock_guard guard(lock_);
    if (file.where != block_file::place::cold)
        return;  // a writer's file: it joins the store's lists at the commit
    // At the limit or past it (when every loaded file was in use at the last loads), one file that
    // nobody reads makes room. Files whose lock is taken are skipped, never waited for: this
    // thread holds the store lock.
    if (hot_.size() >= cache_limit_) {
        for (block_file& candidate : hot_) {
            if (!candidate.lock.try_lock())
                continue;
            if (!candidate.loaded) {
                candidate.lock.unlock(later);
                continue;
            }
            unload_locked(candidate);
            hot_.erase(hot_.iterator_to(candidate));
            cold_.push_back(candidate);
            candidate.where = block_file::place::cold;
            candidate.lock.unlock(later);
            break;
        }
    }
    bool was_empty = hot_.empty();
    cold_.erase(cold_.iterator_to(file));
    hot_.push_back(file);
    file.where = block_file::place::hot;
    if (was_empty)
        arm_eviction_timer_locked();
}

void block_store::evict_idle_files()
{
    const std::uint64_t current = now();
    const std::uint64_t threshold = current > idle_unload_ticks ? current - idle_unload_ticks : 0;
    // Before the guard, as in enter_cache.
    async_shared_lock::deferred_resumptions later(options_.submit);
    exclusive_lock_guard guard(lock_);
    for (auto it = hot_.begin(); it != hot_.end();) {
        block_file& file = *it;
        if (!file.lock.try_lock()) {
            ++it;
            continue;
        }
        if (file.loaded && file.last_use.load(std::memory_order_relaxed) < threshold) {
            unload_locked(file);
            it = hot_.erase(it);
            cold_.push_back(file);
            file.where = block_file::place::cold;
        } else {
            ++it;
        }
        file.lock.unlock(later);
    }
    if (hot_.empty()) {
        pool_.spill_into(spare_load_buffers(), spare_load_buffer_count);
        if (eviction_timer_)
            SetThreadpoolTimer(eviction_timer_.get(), nullptr, 0, 0);
    }
}

void CALLBACK block_store::eviction_callback(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) noexcept
{
    try {
        static_cast<block_store*>(context)->evict_idle_files();
    } catch (...) {
        // Only the pool's bookkeeping can throw (no memory); the next pass tries again.
    }
}

// ---------------------------------------------------------------------------------------------
// Reads

namespace {

[[noreturn]] void throw_damaged() { tavik::details::throw_hresult(damaged_block_file); }

// A buffer for a load of `size` bytes: the smallest the store's files gave back that holds it,
// else one a store that went idle left (a small file does not take a large one: the next large
// load would then touch fresh memory), else any the store has (it grows).
page_buffer take_load_buffer(block_store& store, std::uint32_t size)
{
    page_buffer buffer = store.pool().take_fitting(size);
    if (!buffer.data)
        buffer = spare_load_buffers().take_fitting(size, std::uint64_t(size) * 4 + (1u << 20));
    if (!buffer.data)
        buffer = store.pool().take();
    return buffer;
}

// Reads the whole file into `buffer`; anything short of `size` bytes is damage.
tavik::details::future<void> read_whole_file(store_file_system& fs, const overlapped_file& file, page_buffer& buffer,
                                             std::uint32_t size)
{
    if (buffer.capacity < size)
        buffer.reserve(size);
    std::uint32_t transferred = co_await fs.read(file, 0, buffer.data, size);
    if (transferred != size)
        throw_damaged();
    buffer.used = size;
}

} // namespace

tavik::details::future<void> read_block_file(block_file& f)
{
    block_store& store = *f.store;
    if (store.path().empty()) {
        // A store kept in memory has nowhere to read a written file back from.
        tavik::details::throw_win32_error(ERROR_FILE_NOT_FOUND);
    }
    store_file_system& fs = store.file_system();
    overlapped_file file = fs.open_file(f.path(), true);
    const std::uint64_t file_size = fs.file_size(file);
    const std::uint64_t content_bound = max_block_file_content(store.block_file_size_limit());
    const std::uint64_t size_bound =
        f.uncompressed ? content_bound + store.sector_size()
                       : std::uint64_t(LZ4_compressBound(static_cast<int>(content_bound))) + dcb_header_size +
                             store.sector_size();
    if (file_size == 0 || file_size % store.sector_size() != 0 || file_size > size_bound)
        throw_damaged();
    const auto length = static_cast<std::uint32_t>(file_size);

    page_buffer content;
    try {
        if (f.uncompressed) {
            content = take_load_buffer(store, length);
            content.used = 0;
            co_await read_whole_file(fs, file, content, length);
        } else {
            page_buffer raw = take_load_buffer(store, length);
            raw.used = 0;
            std::exception_ptr failure;
            try {
                co_await read_whole_file(fs, file, raw, length);
                // The ".dcb" header (block_file.h). The sector-size check above leaves at least
                // one sector, so the header is always there.
                tavik::byte_reader image({raw.data, length});
                const auto [n, c] = read_dcb_header(image);
                if (!image.ok() || n == 0 || n > content_bound || c > image.remaining())
                    throw_damaged();
                content = take_load_buffer(store, n);
                content.used = 0;
                if (content.capacity < n)
                    content.reserve(n);
                int decoded = LZ4_decompress_safe(reinterpret_cast<const char*>(raw.data) + dcb_header_size,
                                                  reinterpret_cast<char*>(content.data), static_cast<int>(c),
                                                  static_cast<int>(n));
                if (decoded < 0 || static_cast<std::uint32_t>(decoded) != n)
                    throw_damaged();
                content.used = n;
            } catch (const std::bad_alloc&) {
                failure = std::make_exception_ptr(tavik::details::traceable_error(E_OUTOFMEMORY));
            } catch (...) {
                failure = std::current_exception();
            }
            store.pool().give(std::move(raw));
            if (failure)
                std::rethrow_exception(failure);
        }
    } catch (const std::bad_alloc&) {
        if (content.data)
            store.pool().give(std::move(content));
        tavik::details::throw_hresult(E_OUTOFMEMORY);
    } catch (...) {
        if (content.data)
            store.pool().give(std::move(content));
        throw;
    }
    file.close();

    f.buffer = std::move(content);
    f.last_use.store(store.now(), std::memory_order_relaxed);
    store.enter_cache(f);
    f.loaded = true;
}

tavik::details::future<block_view> get_block_data(block_file_ref file, std::uint32_t offset, std::uint32_t size)
{
    block_file& f = *file;
    co_await f.lock.lock_shared();
    if (!f.loaded) {
        f.lock.unlock_shared();
        co_await f.lock.lock();
        if (!f.loaded) {
            std::exception_ptr failure;
            try {
                co_await read_block_file(f);
            } catch (...) {
                failure = std::current_exception();
            }
            if (failure) {
                f.lock.unlock();
                std::rethrow_exception(failure);
            }
        }
        // Straight to shared: an eviction pass may not slip in between and unload it again.
        f.lock.downgrade();
    }
    const std::uint32_t content = f.buffer.used;
    if (size == 0) {
        offset = 0;
        size = content;
    } else if (std::uint64_t(offset) + size > content) {
        // An index entry that points past the content of its file: the file is damaged.
        f.lock.unlock_shared();
        throw_damaged();
    }
    f.last_use.store(f.store->now(), std::memory_order_relaxed);
    co_return block_view(std::move(file), f.buffer.data + offset, size);
}

tavik::details::future<block_view> fetch_block(block_store& store, const block_key& key)
{
    block_file_ref file;
    std::uint32_t offset = 0;
    std::uint32_t size = 0;
    {
        shared_lock_guard guard(store.store_lock());
        auto it = store.index().find(key);
        if (it == store.index().end())
            co_return block_view();
        file = block_file_ref(it->second.file);
        offset = it->second.offset;
        size = it->second.size;
    }
    co_return co_await get_block_data(std::move(file), offset, size);
}

} // namespace dedup
