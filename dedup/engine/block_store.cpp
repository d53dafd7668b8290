// The block store itself: set-up and teardown, the load of the block folder and "blocks.ddb", the
// commit of a writer and the purge. The cache and the reads of blocks are in block_cache.cpp.

#include <dedup/engine/block_store.h>

#include <dedup/engine/block_index_file.h>
#include <dedup/engine/durable_replace.h>
#include <dedup/engine/store_names.h>

#include <tavik/error.h>
#include <tavik/error_categories.h>
#include <tavik/lock_guard.h>
#include <tavik/unique_handle.h>

#include <algorithm>
#include <limits>
#include <new>
#include <unordered_map>
#include <vector>

namespace dedup {

using tavik::details::exclusive_lock_guard;
using tavik::details::shared_lock_guard;

namespace {

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
    tavik::unique_file device(CreateFileW(volume, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                          OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr));
    if (!device)
        return std::nullopt;
    storage_property_query query{6, 0, {}};
    storage_access_alignment_descriptor descriptor{};
    descriptor.size = sizeof(descriptor);
    DWORD returned = 0;
    BOOL ok = DeviceIoControl(device.get(), ioctl_storage_query_property, &query, sizeof(query), &descriptor,
                              sizeof(descriptor), &returned, nullptr);
    std::uint32_t sector = descriptor.bytes_per_physical_sector;
    // Writes are rounded up to the sector size: only a power of two of sane size will do.
    if (!ok || sector < 512 || sector > 65536 || (sector & (sector - 1)) != 0)
        return std::nullopt;
    return sector;
}

} // namespace
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
    pool_.spill_into(spare_load_buffers(), spare_load_buffer_count);
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

    saved_ = statistics;
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
    // A loaded file's memory goes on to the next store's loads (spare_load_buffers).
    if (file->buffer.data)
        pool_.give(std::move(file->buffer));
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
    std::uint64_t largest = 0;
    auto subfolders = fs_->list_folder(path_);
    if (!subfolders)
        return create_error::folder_invalid;
    for (const folder_entry& folder : *subfolders) {
        if (!folder.is_folder)
            continue;
        auto folder_number = parse_block_subfolder_name(folder.name.c_str());
        if (!folder_number)
            continue;
        // A subfolder that went between the two listings holds no files.
        auto entries = fs_->list_folder(path_ + L"\\" + folder.name);
        if (!entries)
            continue;
        for (const folder_entry& entry : *entries) {
            if (entry.is_folder)
                continue;
            auto name = parse_block_file_name(entry.name.c_str());
            if (!name)
                continue;
            std::uint64_t number = block_file_number(*folder_number, name->index);
            auto file = std::make_unique<block_file>(*this, number);
            file->uncompressed = name->uncompressed;
            file->size_on_disk = entry.size;
            file->where = block_file::place::cold;
            auto [it, inserted] = by_number.try_emplace(number, file.get());
            if (!inserted) {
                // "7.dcb" beside "7.dub": no writer makes both, and which one the index means
                // cannot be told.
                return create_error::folder_invalid;
            }
            compressed_size_ += file->size_on_disk;
            largest = std::max(largest, number);
            cold_.push_back(*file.release());
        }
    }
    if (!by_number.empty())
        next_number_ = largest + 1;

    const std::wstring index_path = recover_interrupted_replace(*fs_, block_index_path(path_));
    bool missing = false;
    if (auto error = load_index_locked(index_path, by_number, missing)) {
        index_.clear();
        if (missing && (by_number.empty() || empty_tree))
            return {};
        return error;
    }
    if (!saved_ || index_matches_saved_locked())
        return {};

    // The index does not belong to the tree file: an optimize stopped between the two files.
    const std::wstring backup = backup_path(block_index_path(path_));
    if (fs_->file_exists(backup)) {
        block_index current;
        current.swap(index_);
        bool backup_missing = false;
        if (!load_index_locked(backup, by_number, backup_missing) && index_matches_saved_locked()) {
            // Best effort: when the swap fails the backup still serves this load, and the next
            // load finds the same pair again.
            fs_->replace(index_path, backup, replacement_path(block_index_path(path_)));
            return {};
        }
        index_.swap(current);
    }
    return {};
}

std::error_code block_store::load_index_locked(const std::wstring& path,
                                               const std::unordered_map<std::uint64_t, block_file*>& by_number,
                                               bool& missing)
{
    index_.clear();
    mapped_file image;
    try {
        image = fs_->map_file(path);
    } catch (const tavik::details::hresult_error_impl& failure) {
        missing = failure.code() == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
        return make_hresult_error_code(failure.code());
    }
    std::uint64_t record_count = 0;
    if (auto error = block_index_file::check_size(image.size, record_count))
        return error;
    if (image.size == 0)
        return {};
    index_.reserve(record_count);

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
    auto error = block_index_file::parse(image.bytes(), find_file, index_);
    if (error)
        index_.clear();
    return error;
}

bool block_store::index_matches_saved_locked() const noexcept
{
    std::uint64_t unique = 0;
    std::uint64_t uncompressed = 0;
    for (const auto& [key, entry] : index_) {
        unique += entry.size;
        uncompressed += std::uint64_t(entry.size) * entry.references;
    }
    return index_.size() == saved_->block_count && unique == saved_->unique_size &&
           uncompressed == saved_->uncompressed_size;
}

// ---------------------------------------------------------------------------------------------
// Block-file numbers and the commit of a writer

void block_store::reserve_numbers(std::uint64_t end)
{
    exclusive_lock_guard guard(lock_);
    next_number_ = std::max(next_number_, end);
}

void block_store::commit(block_commit commit)
{
    exclusive_lock_guard guard(lock_);
    index_.swap(commit.index);
    bool was_empty = hot_.empty();
    commit.files.clear_and_dispose([this](block_file* file) {
        file->pool = nullptr;
        // A file that the operation read back is loaded: it joins the cache like any other.
        if (file->loaded) {
            file->where = block_file::place::hot;
            hot_.push_back(*file);
        } else {
            file->where = block_file::place::cold;
            cold_.push_back(*file);
        }
    });
    if (was_empty && !hot_.empty())
        arm_eviction_timer_locked();
    uncompressed_size_ += commit.added_bytes;
    unique_size_ += commit.unique_bytes;
    compressed_size_ += commit.bytes_on_disk;
    next_number_ = commit.next_number;
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

} // namespace dedup
