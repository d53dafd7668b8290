#include "store_test_support.h"

#include <tavik/error.h>

#define XXH_INLINE_ALL
#include <xxhash.h>

#include <algorithm>
#include <filesystem>
#include <random>
#include <stdexcept>

namespace dedup::testing {

bytes random_bytes(std::uint32_t seed, std::size_t size)
{
    std::mt19937_64 generator(seed);
    bytes b(size);
    for (std::size_t i = 0; i < size; i += 8) {
        std::uint64_t v = generator();
        std::memcpy(b.data() + i, &v, std::min<std::size_t>(8, size - i));
    }
    return b;
}

bytes repeating_bytes(std::uint32_t seed, std::size_t size)
{
    bytes b(size);
    std::string pattern = "block " + std::to_string(seed) + " of repeating text; ";
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::byte>(pattern[i % pattern.size()]);
    return b;
}

std::map<std::wstring, bytes> snapshot_folder(const std::wstring& folder)
{
    std::map<std::wstring, bytes> files;
    const std::filesystem::path root(folder);
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
        std::wstring name = entry.path().lexically_relative(root).wstring();
        if (entry.is_directory())
            files[name + L"\\"] = {};
        else
            files[name] = read_file(entry.path().wstring());
    }
    return files;
}

block_key key_of(const bytes& content)
{
    XXH128_hash_t h = XXH3_128bits(content.data(), content.size());
    return {h.low64, h.high64};
}

// ---------------------------------------------------------------------------------------------

bool fault_file_system::fails_now()
{
    std::uint64_t step = steps_.fetch_add(1) + 1;
    if (crashed_)
        return true;
    if (step == also_at_ && mode_ == mode::fail) {
        failed_ = true;
        return true;
    }
    if (step != fail_at_)
        return false;
    failed_ = true;
    if (mode_ == mode::crash)
        crashed_ = true;
    return true;
}

void fault_file_system::rename_tracking(const std::wstring& from, const std::wstring& to)
{
    std::lock_guard guard(mutex_);
    auto it = dirty_.find(from);
    bool dirty = it != dirty_.end() && it->second;
    if (it != dirty_.end())
        dirty_.erase(it);
    dirty_[to] = dirty;
}

overlapped_file fault_file_system::create_file(const std::wstring& path, bool unbuffered)
{
    if (fails_now())
        tavik::details::throw_win32_error(ERROR_DISK_FULL);
    overlapped_file file = real_.create_file(path, unbuffered);
    std::lock_guard guard(mutex_);
    handles_[file.handle()] = path;
    dirty_[path] = true;  // CREATE_ALWAYS truncated it: its old data is gone, the new not yet safe
    return file;
}

void fault_file_system::fail_reads(read_kind kind, std::wstring path_end, DWORD error)
{
    std::lock_guard guard(mutex_);
    read_failures_.push_back({kind, std::move(path_end), error});
}

void fault_file_system::clear_read_failures()
{
    std::lock_guard guard(mutex_);
    read_failures_.clear();
}

void fault_file_system::check_read(read_kind kind, const std::wstring& path)
{
    DWORD error = 0;
    {
        std::lock_guard guard(mutex_);
        for (const auto& rule : read_failures_)
            if (rule.kind == kind && path.ends_with(rule.path_end))
                error = rule.error;
    }
    if (error) {
        failed_reads_.fetch_add(1);
        tavik::details::throw_win32_error(static_cast<std::int32_t>(error));
    }
}

std::wstring fault_file_system::opened_path(const overlapped_file& file)
{
    std::lock_guard guard(mutex_);
    auto it = opened_.find(file.handle());
    return it == opened_.end() ? std::wstring() : it->second;
}

overlapped_file fault_file_system::open_file(const std::wstring& path, bool unbuffered)
{
    opens_.fetch_add(1);
    check_read(read_kind::open_file, path);
    overlapped_file file = real_.open_file(path, unbuffered);
    std::lock_guard guard(mutex_);
    opened_[file.handle()] = path;
    return file;
}

std::uint64_t fault_file_system::file_size(const overlapped_file& file)
{
    check_read(read_kind::file_size, opened_path(file));
    return real_.file_size(file);
}

tavik::details::future<std::uint32_t> fault_file_system::read(const overlapped_file& file, std::uint64_t position,
                                                              void* data, std::uint32_t length)
{
    check_read(read_kind::read, opened_path(file));
    co_return co_await real_.read(file, position, data, length);
}

mapped_file fault_file_system::map_file(const std::wstring& path)
{
    check_read(read_kind::map_file, path);
    return real_.map_file(path);
}

std::optional<std::vector<folder_entry>> fault_file_system::list_folder(const std::wstring& path)
{
    check_read(read_kind::list_folder, path);
    return real_.list_folder(path);
}

tavik::details::future<std::uint32_t> fault_file_system::write(const overlapped_file& file, std::uint64_t position,
                                                               const void* data, std::uint32_t length)
{
    if (fails_now())
        tavik::details::throw_win32_error(ERROR_DISK_FULL);
    {
        std::lock_guard guard(mutex_);
        if (auto it = handles_.find(file.handle()); it != handles_.end())
            dirty_[it->second] = true;
    }
    co_return co_await real_.write(file, position, data, length);
}

void fault_file_system::flush(const overlapped_file& file)
{
    if (fails_now())
        tavik::details::throw_win32_error(ERROR_DISK_FULL);
    real_.flush(file);
    std::lock_guard guard(mutex_);
    if (auto it = handles_.find(file.handle()); it != handles_.end())
        dirty_[it->second] = false;
}

bool fault_file_system::replace(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup)
{
    if (!real_.file_exists(target) || !real_.file_exists(replacement)) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return false;
    }
    if (fails_now()) {
        SetLastError(ERROR_UNABLE_TO_REMOVE_REPLACED);
        return false;
    }
    if (!MoveFileExW(target.c_str(), backup.c_str(), MOVEFILE_REPLACE_EXISTING))
        return false;
    rename_tracking(target, backup);
    if (fails_now()) {
        // What ReplaceFileW reports when it moved the target away but not the replacement in.
        SetLastError(ERROR_UNABLE_TO_MOVE_REPLACEMENT_2);
        return false;
    }
    if (!MoveFileW(replacement.c_str(), target.c_str()))
        return false;
    rename_tracking(replacement, target);
    return true;
}

bool fault_file_system::move(const std::wstring& from, const std::wstring& to)
{
    if (fails_now()) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    if (!real_.move(from, to))
        return false;
    rename_tracking(from, to);
    return true;
}

bool fault_file_system::remove(const std::wstring& path)
{
    if (fails_now() || removes_fail_) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return real_.remove(path);
}

bool fault_file_system::create_directory(const std::wstring& path)
{
    if (fails_now()) {
        SetLastError(ERROR_DISK_FULL);
        return false;
    }
    return real_.create_directory(path);
}

bool fault_file_system::remove_directory(const std::wstring& path)
{
    if (fails_now()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return real_.remove_directory(path);
}

unique_file_keep_last_error fault_file_system::create_lock_file(const std::wstring& path)
{
    if (fails_now()) {
        SetLastError(ERROR_DISK_FULL);
        return {};
    }
    return real_.create_lock_file(path);
}

void fault_file_system::apply_power_loss()
{
    std::lock_guard guard(mutex_);
    for (const auto& [path, dirty] : dirty_) {
        if (!dirty || !testing::file_exists(path))
            continue;
        bytes zeros(static_cast<std::size_t>(testing::file_size(path)));
        write_file(path, zeros);
    }
    dirty_.clear();
}

} // namespace dedup::testing
