#pragma once
// Helpers of the block store tests: a temporary folder, file bytes, keys, and a file system that
// fails or "loses power" at a chosen step.

#include <dedup/engine/block_index.h>
#include <dedup/engine/store_file_system.h>

#include <tavik/future.h>

#include <testing/support/test_support.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace dedup::testing {

using test_support::bytes;
using test_support::file_exists;
using test_support::file_size;
using test_support::hresult_of;
using test_support::list_files;
using test_support::make_folder;
using test_support::read_file;
using test_support::run;
using test_support::temp_folder;
using test_support::to_bytes;
using test_support::write_file;

bytes random_bytes(std::uint32_t seed, std::size_t size);   // does not compress
// Every file under `folder` (path relative to it) with its bytes, and every folder (with no bytes
// and a trailing backslash): what a test compares to show that nothing on disk changed.
std::map<std::wstring, bytes> snapshot_folder(const std::wstring& folder);
bytes repeating_bytes(std::uint32_t seed, std::size_t size); // compresses well
block_key key_of(const bytes& content);

// The real file system, except that the Nth mutating step (create, write, flush, each of the two
// renames of a replace, move, delete, folder creation and removal, the lock file) fails. In `fail` mode only that step fails,
// as a full disk would make it. In `crash` mode the process "dies" there: that step and every later
// one fail, and apply_power_loss() then does to the disk what a power cut would: every file
// holding data that was written but not flushed keeps its size but reads as zeros (the renames
// and the sizes reached the disk, the data did not).
//
// ReplaceFileW is modelled as its two renames (target to backup, replacement to target), so that
// a crash between them can be tested.
//
// Reads are not steps (so that counting the steps of an operation does not depend on what it
// happens to read): fail_reads makes every read of one kind whose path ends with a given text fail
// with a given error, until cleared. A size or a read of an open file goes by the path it was
// opened with.
class fault_file_system final : public store_file_system {
public:
    enum class mode { fail, crash };
    enum class read_kind { list_folder, open_file, file_size, read, map_file };

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
    // Every read of `kind` whose path ends with `path_end` fails with `error` (a Win32 error).
    void fail_reads(read_kind kind, std::wstring path_end, DWORD error);
    void clear_read_failures();
    // Reads that failed through fail_reads.
    std::uint32_t failed_reads() const noexcept { return failed_reads_.load(); }
    std::uint64_t steps() const noexcept { return steps_.load(); }
    bool crashed() const noexcept { return crashed_.load(); }
    bool failed() const noexcept { return failed_.load(); }
    std::uint32_t opens() const noexcept { return opens_.load(); }
    void apply_power_loss();

    overlapped_file create_file(const std::wstring& path, bool unbuffered) override;
    overlapped_file open_file(const std::wstring& path, bool unbuffered) override;
    std::uint64_t file_size(const overlapped_file& file) override;
    tavik::details::future<std::uint32_t> read(const overlapped_file& file, std::uint64_t position, void* data,
                                               std::uint32_t length) override;
    mapped_file map_file(const std::wstring& path) override;
    std::optional<std::vector<folder_entry>> list_folder(const std::wstring& path) override;
    tavik::details::future<std::uint32_t> write(const overlapped_file& file, std::uint64_t position, const void* data,
                                                std::uint32_t length) override;
    void flush(const overlapped_file& file) override;
    bool replace(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup) override;
    bool move(const std::wstring& from, const std::wstring& to) override;
    bool remove(const std::wstring& path) override;
    bool create_directory(const std::wstring& path) override;
    bool remove_directory(const std::wstring& path) override;
    unique_file_keep_last_error create_lock_file(const std::wstring& path) override;
    bool file_exists(const std::wstring& path) override { return real_.file_exists(path); }

private:
    // True when this step must fail (and, in crash mode, every later one).
    bool fails_now();
    void rename_tracking(const std::wstring& from, const std::wstring& to);
    // Raises the error of a matching fail_reads rule.
    void check_read(read_kind kind, const std::wstring& path);
    std::wstring opened_path(const overlapped_file& file);

    struct read_failure {
        read_kind kind;
        std::wstring path_end;
        DWORD error;
    };

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
    std::map<HANDLE, std::wstring> opened_;   // open files opened here for reading
    std::vector<read_failure> read_failures_;
    std::atomic<std::uint32_t> failed_reads_{0};
};

} // namespace dedup::testing
