#include <dedup/engine/block_store.h>

#include <dedup/engine/block_index_file.h>
#include <dedup/engine/block_writer.h>
#include <dedup/engine/durable_replace.h>
#include <dedup/engine/store_names.h>

#include <tavik/error.h>
#include <tavik/error_categories.h>
#include <tavik/lock_guard.h>

#include <lz4.h>

#include <algorithm>
#include <limits>
#include <new>
#include <unordered_map>
#include <vector>

namespace dedup {

using tavik::details::exclusive_lock_guard;
using tavik::details::shared_lock_guard;

namespace {

// 30 s in FILETIME units: files not read for this long are unloaded by the next eviction pass.
constexpr std::uint64_t idle_unload_ticks = 300'000'000;
constexpr DWORD eviction_period_ms = 5'000;

std::uint64_t system_now() noexcept
{
    FILETIME now;
    GetSystemTimePreciseAsFileTime(&now);
    return (std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
}

// Our own declarations of the storage query (documented for IOCTL_STORAGE_QUERY_PROPERTY).
struct storage_property_query {
    DWORD property_id;  // StorageAccessAlignmentProperty = 6
    DWORD query_type;   // PropertyStandardQuery = 0
    BYTE additional_parameters[4];
};
static_assert(sizeof(storage_property_query) == 12);

struct storage_access_alignment_descriptor {
    DWORD version;
    DWORD size;
    DWORD bytes_per_cache_line;
    DWORD bytes_offset_for_cache_alignment;
    DWORD bytes_per_logical_sector;
    DWORD bytes_per_physical_sector;
    DWORD bytes_offset_for_sector_alignment;
};
static_assert(sizeof(storage_access_alignment_descriptor) == 28);

constexpr DWORD ioctl_storage_query_property = 0x2D1400;

// The physical sector size of the volume holding `path`, or nothing.
std::optional<std::uint32_t> query_sector_size(const std::wstring& path) noexcept
{
    wchar_t mount_point[MAX_PATH];
    wchar_t volume[MAX_PATH];
    if (!GetVolumePathNameW(path.c_str(), mount_point, MAX_PATH) ||
        !GetVolumeNameForVolumeMountPointW(mount_point, volume, MAX_PATH))
        return std::nullopt;
    std::size_t length = wcslen(volume);
    if (length > 0 && volume[length - 1] == L'\\')
        volume[length - 1] = 0;
    HANDLE device = CreateFileW(volume, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    if (device == INVALID_HANDLE_VALUE)
        return std::nullopt;
    storage_property_query query{6, 0, {}};
    storage_access_alignment_descriptor descriptor{};
    descriptor.size = sizeof(descriptor);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device, ioctl_storage_query_property, &query, sizeof(query), &descriptor,
                              sizeof(descriptor), &returned, nullptr);
    CloseHandle(device);
    std::uint32_t sector = descriptor.bytes_per_physical_sector;
    // Writes are rounded up to the sector size: only a power of two of sane size will do.
    if (!ok || sector < 512 || sector > 65536 || (sector & (sector - 1)) != 0)
        return std::nullopt;
    return sector;
}

class find_handle {
public:
    explicit find_handle(HANDLE h) noexcept : h_(h) {}
    find_handle(const find_handle&) = delete;
    find_handle& operator=(const find_handle&) = delete;
    ~find_handle()
    {
        if (h_ != INVALID_HANDLE_VALUE)
            FindClose(h_);
    }
    HANDLE get() const noexcept { return h_; }

private:
    HANDLE h_;
};

class owned_handle {
public:
    explicit owned_handle(HANDLE h) noexcept : h_(h) {}
    owned_handle(const owned_handle&) = delete;
    owned_handle& operator=(const owned_handle&) = delete;
    ~owned_handle()
    {
        if (h_ && h_ != INVALID_HANDLE_VALUE)
            CloseHandle(h_);
    }
    HANDLE get() const noexcept { return h_; }

private:
    HANDLE h_;
};

class mapped_view {
public:
    explicit mapped_view(const void* p) noexcept : p_(p) {}
    mapped_view(const mapped_view&) = delete;
    mapped_view& operator=(const mapped_view&) = delete;
    ~mapped_view()
    {
        if (p_)
            UnmapViewOfFile(p_);
    }
    const std::byte* get() const noexcept { return static_cast<const std::byte*>(p_); }

private:
    const void* p_;
};

bool is_dot_entry(const wchar_t* name) noexcept
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// Calls `visit` for every entry of `folder`. False when the folder does not exist; other failures
// raise.
template <class Visit>
bool for_each_entry(const std::wstring& folder, Visit&& visit)
{
    WIN32_FIND_DATAW data;
    std::wstring pattern = folder + L"\\*";
    find_handle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch, nullptr,
                                      FIND_FIRST_EX_LARGE_FETCH));
    if (find.get() == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
            return false;
        tavik::details::throw_win32_error(static_cast<std::int32_t>(error));
    }
    do {
        if (!is_dot_entry(data.cFileName))
            visit(data);
    } while (FindNextFileW(find.get(), &data));
    if (DWORD error = GetLastError(); error != ERROR_NO_MORE_FILES)
        tavik::details::throw_win32_error(static_cast<std::int32_t>(error));
    return true;
}

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

std::wstring block_file::path(bool as_uncompressed) const
{
    return block_file_path(store->path(), number, as_uncompressed);
}

// ---------------------------------------------------------------------------------------------
// block_store: set-up and teardown

block_store::block_store(block_store_options options)
    : options_(std::move(options)), fs_(options_.file_system ? options_.file_system : &system_store_file_system())
{
    compression_slots_ = options_.compression_slots;
    if (compression_slots_ == 0) {
        SYSTEM_INFO info;
        GetSystemInfo(&info);
        compression_slots_ = std::max<std::uint32_t>(1, info.dwNumberOfProcessors);
    }
}

block_store::~block_store()
{
    if (eviction_timer_) {
        SetThreadpoolTimer(eviction_timer_.get(), nullptr, 0, 0);
        WaitForThreadpoolTimerCallbacks(eviction_timer_.get(), TRUE);
        eviction_timer_.reset();
    }
    clear_block_files();
    pool_.free_all();
}

std::uint64_t block_store::now() const { return options_.clock ? options_.clock() : system_now(); }

void block_store::init(std::wstring path, std::uint32_t limit, std::optional<folder_statistics> statistics)
{
    path_ = std::move(path);
    // A limit of 0 would divide by zero below and close a file per block; one past the maximum
    // would let a content outgrow 32 bits. Such a limit can only come from a damaged folder tree
    // file, which open_store then reports.
    limit_valid_ = limit >= 1 && limit <= max_block_file_size_limit;
    limit_ = std::clamp<std::uint32_t>(limit, 1, max_block_file_size_limit);

    if (options_.cache_limit) {
        cache_limit_ = options_.cache_limit;
    } else {
        MEMORYSTATUSEX memory{};
        memory.dwLength = sizeof(memory);
        std::uint64_t q = GlobalMemoryStatusEx(&memory) ? memory.ullTotalPhys / 32 / limit_ : 0;
        cache_limit_ = static_cast<std::uint32_t>(std::clamp<std::uint64_t>(q, 4, std::numeric_limits<std::uint32_t>::max()));
    }

    if (statistics) {
        uncompressed_size_ = statistics->uncompressed_size;
        unique_size_ = statistics->unique_size;
    }

    if (options_.sector_size) {
        sector_size_ = options_.sector_size;
    } else if (!path_.empty()) {
        if (auto sector = query_sector_size(path_))
            sector_size_ = *sector;
    }
    if (!path_.empty()) {
        if (options_.eviction_timer)
            eviction_timer_.reset(CreateThreadpoolTimer(&block_store::eviction_callback, this, nullptr));
        // Without a timer (no resources) idle files stay loaded until the cache limit pushes them
        // out; the store works all the same.
    }
}

void block_store::free_file(block_file* file) noexcept
{
    delete file;
}

void block_store::clear_block_files() noexcept
{
    exclusive_lock_guard guard(lock_);
    cold_.clear_and_dispose([this](block_file* f) { free_file(f); });
    hot_.clear_and_dispose([this](block_file* f) { free_file(f); });
}

folder_statistics block_store::statistics() const
{
    shared_lock_guard guard(lock_);
    return {uncompressed_size_, unique_size_, compressed_size_, index_.size()};
}

std::uint64_t block_store::next_number() const
{
    shared_lock_guard guard(lock_);
    return next_number_;
}

std::uint64_t block_store::cold_count() const
{
    shared_lock_guard guard(lock_);
    return cold_.size();
}

std::uint64_t block_store::hot_count() const
{
    shared_lock_guard guard(lock_);
    return hot_.size();
}

// ---------------------------------------------------------------------------------------------
// Loading the store

std::error_code block_store::open_store(bool empty_tree)
{
    exclusive_lock_guard guard(lock_);
    try {
        return load_locked(empty_tree);
    } catch (const std::bad_alloc&) {
        guard.unlock();
        clear_block_files();
        tavik::details::throw_hresult(E_OUTOFMEMORY);
    } catch (...) {
        guard.unlock();
        clear_block_files();
        throw;
    }
}

std::error_code block_store::load_locked(bool empty_tree)
{
    if (!limit_valid_)
        return create_error::folder_invalid;
    if (path_.empty())
        return {};

    index_.clear();
    cold_.clear_and_dispose([this](block_file* f) { free_file(f); });
    hot_.clear_and_dispose([this](block_file* f) { free_file(f); });
    compressed_size_ = 0;

    // Block files on disk, by number. Only canonical names count: anything else in the block
    // folder is neither loaded nor ever deleted.
    std::unordered_map<std::uint64_t, block_file*> by_number;
    bool duplicate = false;
    std::uint64_t largest = 0;
    bool found_folder = for_each_entry(path_, [&](const WIN32_FIND_DATAW& folder) {
        if (!(folder.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            return;
        auto folder_number = parse_block_subfolder_name(folder.cFileName);
        if (!folder_number)
            return;
        for_each_entry(path_ + L"\\" + folder.cFileName, [&](const WIN32_FIND_DATAW& entry) {
            if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                return;
            auto name = parse_block_file_name(entry.cFileName);
            if (!name)
                return;
            std::uint64_t number = block_file_number(*folder_number, name->index);
            auto file = std::make_unique<block_file>(*this, number);
            file->uncompressed = name->uncompressed;
            file->size_on_disk = (std::uint64_t(entry.nFileSizeHigh) << 32) | entry.nFileSizeLow;
            file->where = block_file::place::cold;
            auto [it, inserted] = by_number.try_emplace(number, file.get());
            if (!inserted) {
                // "7.dcb" beside "7.dub": no writer makes both, and which one the index means
                // cannot be told.
                duplicate = true;
                return;
            }
            compressed_size_ += file->size_on_disk;
            largest = std::max(largest, number);
            cold_.push_back(*file.release());
        });
    });
    if (!found_folder || duplicate)
        return create_error::folder_invalid;
    if (!by_number.empty())
        next_number_ = largest + 1;

    std::wstring index_path = recover_interrupted_replace(*fs_, block_index_path(path_));
    owned_handle file(CreateFileW(index_path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
    if (file.get() == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        if (error == ERROR_FILE_NOT_FOUND && (by_number.empty() || empty_tree))
            return {};
        return make_hresult_error_code(tavik::details::hresult_from_win32(static_cast<std::int32_t>(error)));
    }
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.get(), &size))
        tavik::details::throw_last_error();
    std::uint64_t record_count = 0;
    if (auto error = block_index_file::check_size(static_cast<std::uint64_t>(size.QuadPart), record_count))
        return error;
    if (size.QuadPart == 0)
        return {};
    if (size.QuadPart > static_cast<LONGLONG>(std::numeric_limits<std::size_t>::max() / 2))
        return create_error::folder_invalid;

    index_.reserve(std::max<std::uint64_t>(record_count, index_.size()));
    owned_handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
    if (!mapping.get())
        return make_hresult_error_code(tavik::details::hresult_from_win32(static_cast<std::int32_t>(GetLastError())));
    mapped_view view(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
    if (!view.get())
        return make_hresult_error_code(tavik::details::hresult_from_win32(static_cast<std::int32_t>(GetLastError())));

    const std::uint64_t dcb_bound = max_block_file_content(limit_);
    auto find_file = [&](std::uint64_t number) -> block_index_file::file_extent {
        auto it = by_number.find(number);
        if (it == by_number.end())
            return {};
        block_file* f = it->second;
        // A ".dub" holds its content as is; a ".dcb" states its length only in its header, which
        // the load of the file checks against the blocks read from it.
        return {f, f->uncompressed ? f->size_on_disk : dcb_bound};
    };
    auto error = block_index_file::parse({view.get(), static_cast<std::size_t>(size.QuadPart)}, find_file, index_);
    if (error)
        index_.clear();
    return error;
}

// ---------------------------------------------------------------------------------------------
// Purge

std::uint64_t block_store::purge_blocks()
{
    exclusive_lock_guard guard(lock_);
    if (++purge_generation_ == 0)
        ++purge_generation_;  // 0 is the mark of a file no purge has seen
    const std::uint32_t generation = purge_generation_;
    for (const auto& [key, entry] : index_)
        entry.file->purge_mark = generation;

    std::uint64_t deleted = 0;
    auto sweep = [&](block_file_list& list) {
        for (auto it = list.begin(); it != list.end();) {
            block_file& file = *it;
            // A reader that looked the file up before the commit may still load or read it.
            if (file.purge_mark == generation || file.users.load(std::memory_order_acquire) != 0) {
                ++it;
                continue;
            }
            compressed_size_ -= std::min(compressed_size_, file.size_on_disk);
            // A failure leaves the file on disk; the store forgets it now, and the next open finds
            // it unreferenced again and a later purge retries.
            if (!path_.empty())
                fs_->remove(file.path());
            it = list.erase(it);
            free_file(&file);
            ++deleted;
        }
    };
    sweep(cold_);
    sweep(hot_);
    return deleted;
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
                candidate.lock.unlock();
                continue;
            }
            unload_locked(candidate);
            hot_.erase(hot_.iterator_to(candidate));
            cold_.push_back(candidate);
            candidate.where = block_file::place::cold;
            candidate.lock.unlock();
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
        file.lock.unlock();
    }
    if (hot_.empty()) {
        pool_.free_all();
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

// Reads the whole file into `buffer`; anything short of `size` bytes is damage.
tavik::details::future<void> read_whole_file(const overlapped_file& file, page_buffer& buffer, std::uint32_t size)
{
    if (buffer.capacity < size)
        buffer.reserve(size);
    std::uint32_t transferred = co_await file.read(0, buffer.data, size);
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
    overlapped_file file = store.file_system().open_file(f.path(), true);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file.handle(), &size))
        tavik::details::throw_last_error();
    const std::uint64_t file_size = static_cast<std::uint64_t>(size.QuadPart);
    const std::uint64_t content_bound = max_block_file_content(store.block_file_size_limit());
    const std::uint64_t size_bound =
        f.uncompressed ? content_bound + store.sector_size()
                       : std::uint64_t(LZ4_compressBound(static_cast<int>(content_bound))) + dcb_header_size +
                             store.sector_size();
    if (file_size == 0 || file_size % store.sector_size() != 0 || file_size > size_bound)
        throw_damaged();
    const auto length = static_cast<std::uint32_t>(file_size);

    page_buffer content = store.pool().take();
    content.used = 0;
    try {
        if (f.uncompressed) {
            co_await read_whole_file(file, content, length);
        } else {
            page_buffer raw = store.pool().take();
            raw.used = 0;
            std::exception_ptr failure;
            try {
                co_await read_whole_file(file, raw, length);
                const std::uint32_t n = block_index_file::get_u32(raw.data);
                const std::uint32_t c = block_index_file::get_u32(raw.data + 4);
                if (n == 0 || n > content_bound || c > length - dcb_header_size)
                    throw_damaged();
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
        store.pool().give(std::move(content));
        tavik::details::throw_hresult(E_OUTOFMEMORY);
    } catch (...) {
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
