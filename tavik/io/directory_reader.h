#pragma once
// Reads a folder's entries in batches of FILE_FULL_DIR_INFO records, into a buffer from a pool.

#include <cstdint>
#include <string_view>

#include <windows.h>

#include <tavik/io/page_buffer.h>
#include <tavik/unique_handle.h>

namespace tavik::io {

// One open folder. A folder that cannot be opened, or read, reads as empty, or as the entries read
// before the failure; error() tells such a listing from a complete one, so that a caller never takes
// an item it could not see for a deleted one. The entries "." and ".." are returned like any other;
// callers leave them out. The handle is held only between open and close, so a walk of a
// tree closes each folder before descending.
class directory_reader {
public:
    static constexpr std::uint32_t batch_bytes = 20480;

    directory_reader() noexcept = default;
    directory_reader(const directory_reader&) = delete;
    directory_reader& operator=(const directory_reader&) = delete;
    ~directory_reader() { close(); }

    // Opens the folder and reads its first batch; afterwards current() is the first entry, or null.
    // Throws only std::bad_alloc.
    void open(const wchar_t* path, page_buffer_pool& pool);

    // Gives the buffer back to the pool and closes the handle; callable more than once.
    void close() noexcept;

    // The current entry, or null when there is none (empty, unopenable, or read to the end).
    const FILE_FULL_DIR_INFO* current() const noexcept { return current_; }

    // Moves to the next entry, reading the next batch when this one is used up; false at the end.
    bool next() noexcept;

    // What ended the listing: ERROR_SUCCESS once the last entry is passed (or before the end), else
    // the Win32 error of the open or of a read. Kept by close() until the next open.
    DWORD error() const noexcept { return error_; }

    static std::wstring_view name(const FILE_FULL_DIR_INFO& entry) noexcept
    {
        return {entry.FileName, entry.FileNameLength / sizeof(wchar_t)};
    }

private:
    bool read_batch() noexcept;

    unique_file handle_;
    page_buffer_pool* pool_ = nullptr;
    page_buffer buffer_;
    const FILE_FULL_DIR_INFO* current_ = nullptr;
    DWORD error_ = ERROR_SUCCESS;
};

} // namespace tavik::io
