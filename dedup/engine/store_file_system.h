#pragma once
// Every file operation of the store, reading and writing: listing the block folders, sizing,
// mapping, reading, creating, writing, flushing, renaming and deleting the store's files, and
// making and removing its folders and its lock file. A store, its writers and the root folder take
// the implementation at construction; the product always uses system_store_file_system(), and tests
// wrap it to fail the Nth mutating step, to simulate a power loss between two steps, or to make a
// load fail at any of its reads.
//
// Every operation that fails raises tavik::details::traceable_error with the call's own error,
// except the renames, the deletions, the folder creation and the lock file, which answer false (or
// an empty owner) with the thread's last error set, because their callers have a fallback, tell
// errors apart, or may ignore the failure.

#include <dedup/engine/file_io.h>

#include <tavik/future.h>
#include <tavik/unique_handle.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace dedup {

// One entry of a folder ("." and ".." are never listed).
struct folder_entry {
    std::wstring name;
    bool is_folder = false;
    std::uint64_t size = 0;  // of a file
};

// A whole file mapped read-only. An empty file has no view (a mapping of 0 bytes cannot be made).
struct mapped_file {
    tavik::unique_mapped_view view;
    std::uint64_t size = 0;

    std::span<const std::byte> bytes() const noexcept
    {
        return {static_cast<const std::byte*>(view.get()), static_cast<std::size_t>(size)};
    }
};

namespace handle_traits {
// Closing keeps the thread's last error: the lock file is closed on failure paths that still
// report the error of the step that failed.
struct file_keep_last_error {
    using pointer = HANDLE;
    static pointer invalid() noexcept { return INVALID_HANDLE_VALUE; }
    static void close(pointer h) noexcept
    {
        const DWORD error = GetLastError();
        CloseHandle(h);
        SetLastError(error);
    }
};
} // namespace handle_traits

// The lock file of a store: opened delete-on-close, so closing it deletes it.
using unique_file_keep_last_error = tavik::unique_resource<handle_traits::file_keep_last_error>;

class store_file_system {
public:
    virtual ~store_file_system() = default;

    // CreateFileW(GENERIC_WRITE, no sharing, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, plus
    // FILE_FLAG_NO_BUFFERING when `unbuffered`), bound to thread-pool I/O.
    virtual overlapped_file create_file(const std::wstring& path, bool unbuffered) = 0;

    // CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, plus
    // FILE_FLAG_NO_BUFFERING when `unbuffered`), bound to thread-pool I/O.
    virtual overlapped_file open_file(const std::wstring& path, bool unbuffered) = 0;

    // GetFileSizeEx of an open file.
    virtual std::uint64_t file_size(const overlapped_file& file) = 0;

    // One overlapped read at `position`; the result is the number of bytes read.
    virtual tavik::details::future<std::uint32_t> read(const overlapped_file& file, std::uint64_t position,
                                                       void* data, std::uint32_t length) = 0;

    // Opens the file for reading (shared for reading), sizes it and maps all of it read-only.
    virtual mapped_file map_file(const std::wstring& path) = 0;

    // The entries of a folder, or nothing when the folder does not exist (ERROR_FILE_NOT_FOUND or
    // ERROR_PATH_NOT_FOUND); any other failure raises.
    virtual std::optional<std::vector<folder_entry>> list_folder(const std::wstring& path) = 0;

    // One overlapped write at `position`; the result is the number of bytes written.
    virtual tavik::details::future<std::uint32_t> write(const overlapped_file& file, std::uint64_t position,
                                                        const void* data, std::uint32_t length) = 0;

    // FlushFileBuffers: what was written is on the medium when this returns.
    virtual void flush(const overlapped_file& file) = 0;

    // ReplaceFileW(target, replacement, backup, flags 0).
    virtual bool replace(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup) = 0;

    // MoveFileW: never replaces an existing file.
    virtual bool move(const std::wstring& from, const std::wstring& to) = 0;

    // DeleteFileW.
    virtual bool remove(const std::wstring& path) = 0;

    // CreateDirectoryW; false also when the folder exists.
    virtual bool create_directory(const std::wstring& path) = 0;

    // RemoveDirectoryW: only an empty folder goes.
    virtual bool remove_directory(const std::wstring& path) = 0;

    // CreateFileW(GENERIC_READ | GENERIC_WRITE, no sharing, CREATE_ALWAYS,
    // FILE_FLAG_DELETE_ON_CLOSE): held while an object has the folder, so that a second open fails
    // with ERROR_SHARING_VIOLATION. Empty on failure, with the thread's last error set.
    virtual unique_file_keep_last_error create_lock_file(const std::wstring& path) = 0;

    // Whether a file (not a folder) exists at `path`.
    virtual bool file_exists(const std::wstring& path) = 0;
};

// The real file system.
store_file_system& system_store_file_system() noexcept;

} // namespace dedup
