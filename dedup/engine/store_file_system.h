#pragma once
// The file operations of the store that tests must be able to make fail: creating, writing,
// flushing, renaming and deleting the store's files. A store and its writers take the
// implementation at construction; the product always uses system_store_file_system(), and tests
// wrap it to fail the Nth step or to simulate a power loss between two steps. Reading goes through
// open_file as well, so a test can also see which files a load touches.
//
// Every operation that fails raises tavik::details::traceable_error with the call's own error,
// except the renames and the deletion, which answer false with the thread's last error set,
// because their callers have a fallback or may ignore the failure.

#include <dedup/engine/file_io.h>

#include <tavik/future.h>

#include <cstdint>
#include <string>

namespace dedup {

class store_file_system {
public:
    virtual ~store_file_system() = default;

    // CreateFileW(GENERIC_WRITE, no sharing, CREATE_ALWAYS, FILE_FLAG_OVERLAPPED, plus
    // FILE_FLAG_NO_BUFFERING when `unbuffered`), bound to thread-pool I/O.
    virtual overlapped_file create_file(const std::wstring& path, bool unbuffered) = 0;

    // CreateFileW(GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, plus
    // FILE_FLAG_NO_BUFFERING when `unbuffered`), bound to thread-pool I/O.
    virtual overlapped_file open_file(const std::wstring& path, bool unbuffered) = 0;

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

    // Whether a file (not a folder) exists at `path`.
    virtual bool file_exists(const std::wstring& path) = 0;
};

// The real file system.
store_file_system& system_store_file_system() noexcept;

} // namespace dedup
