#pragma once
// Helpers of the block store tests: a temporary folder, file bytes, keys, and a file system that
// fails or "loses power" at a chosen step.

#include <dedup/engine/block_index.h>
#include <dedup/engine/store_file_system.h>

#include <tavik/future.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace dedup::testing {

using bytes = std::vector<std::byte>;

// A new empty folder under the temporary folder, deleted with everything in it at the end.
class temp_folder {
public:
    temp_folder();
    ~temp_folder();
    temp_folder(const temp_folder&) = delete;
    temp_folder& operator=(const temp_folder&) = delete;
    const std::wstring& path() const noexcept { return path_; }
    std::wstring operator/(std::wstring_view name) const { return path_ + L"\\" + std::wstring(name); }

private:
    std::wstring path_;
};

bytes read_file(const std::wstring& path);
void write_file(const std::wstring& path, const bytes& content);
bool file_exists(const std::wstring& path);
std::uint64_t file_size(const std::wstring& path);
void make_folder(const std::wstring& path);
// Names of the files (not folders) directly in `folder`, sorted.
std::vector<std::wstring> list_files(const std::wstring& folder);

bytes to_bytes(std::string_view text);
bytes random_bytes(std::uint32_t seed, std::size_t size);   // does not compress
bytes repeating_bytes(std::uint32_t seed, std::size_t size); // compresses well
block_key key_of(const bytes& content);

// Runs a coroutine's future to its end on this (plain) thread.
template <class T>
T run(tavik::details::future<T> f)
{
    return tavik::details::wait_blocking_result(std::move(f));
}

// HRESULT of a traceable error raised by `body`, or 0 when it raises nothing.
template <class F>
long hresult_of(F&& body)
{
    try {
        body();
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code();
    }
    return 0;
}

// The real file system, except that the Nth mutating step (create, write, flush, each of the two
// renames of a replace, move, delete, folder creation) fails. In `fail` mode only that step fails,
// as a full disk would make it. In `crash` mode the process "dies" there: that step and every later
// one fail, and apply_power_loss() then does to the disk what a power cut would: every file
// holding data that was written but not flushed keeps its size but reads as zeros (the renames
// and the sizes reached the disk, the data did not).
//
// ReplaceFileW is modelled as its two renames (target to backup, replacement to target), so that
// a crash between them can be tested.
class fault_file_system final : public store_file_system {
public:
    enum class mode { fail, crash };

    explicit fault_file_system(store_file_system& real = system_store_file_system()) : real_(real) {}

    void fail_at(std::uint64_t step, mode m)
    {
        fail_at_ = step;
        mode_ = m;
    }
    // In `fail` mode, one more step that fails as well (a failure that persists for a moment).
    void fail_also_at(std::uint64_t step) { also_at_ = step; }
    // Every deletion fails, as when another program (a virus scanner) holds the file open.
    void fail_removes(bool on) { removes_fail_ = on; }
    std::uint64_t steps() const noexcept { return steps_.load(); }
    bool crashed() const noexcept { return crashed_.load(); }
    bool failed() const noexcept { return failed_.load(); }
    std::uint32_t opens() const noexcept { return opens_.load(); }
    void apply_power_loss();

    overlapped_file create_file(const std::wstring& path, bool unbuffered) override;
    overlapped_file open_file(const std::wstring& path, bool unbuffered) override;
    tavik::details::future<std::uint32_t> write(const overlapped_file& file, std::uint64_t position, const void* data,
                                                std::uint32_t length) override;
    void flush(const overlapped_file& file) override;
    bool replace(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup) override;
    bool move(const std::wstring& from, const std::wstring& to) override;
    bool remove(const std::wstring& path) override;
    bool create_directory(const std::wstring& path) override;
    bool file_exists(const std::wstring& path) override { return real_.file_exists(path); }

private:
    // True when this step must fail (and, in crash mode, every later one).
    bool fails_now();
    void rename_tracking(const std::wstring& from, const std::wstring& to);

    store_file_system& real_;
    std::atomic<std::uint64_t> steps_{0};
    std::atomic<bool> crashed_{false};
    std::atomic<bool> failed_{false};
    std::atomic<std::uint32_t> opens_{0};
    std::uint64_t fail_at_ = 0;
    std::uint64_t also_at_ = 0;
    std::atomic<bool> removes_fail_{false};
    mode mode_ = mode::fail;
    std::mutex mutex_;
    std::map<HANDLE, std::wstring> handles_;  // open files created here
    std::map<std::wstring, bool> dirty_;      // path -> holds data not flushed
};

} // namespace dedup::testing
