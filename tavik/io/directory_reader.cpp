#include <tavik/io/directory_reader.h>

#include <utility>

namespace tavik::io {

void directory_reader::open(const wchar_t* path, page_buffer_pool& pool)
{
    close();
    error_ = ERROR_SUCCESS;
    pool_ = &pool;
    buffer_ = pool.take();
    if (buffer_.capacity < batch_bytes)
        buffer_.reserve(batch_bytes);
    buffer_.used = batch_bytes;
    handle_.reset(CreateFileW(path, FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    if (!handle_) {
        error_ = GetLastError();
        return;  // an unopenable folder reads as empty
    }
    read_batch();
}

bool directory_reader::read_batch() noexcept
{
    // FileFullDirectoryInfo continues where the previous call on this handle stopped; the end of
    // the folder (ERROR_NO_MORE_FILES) and any failure both end the walk, only a failure is kept.
    if (GetFileInformationByHandleEx(handle_.get(), FileFullDirectoryInfo, buffer_.data, batch_bytes)) {
        current_ = reinterpret_cast<const FILE_FULL_DIR_INFO*>(buffer_.data);
    } else {
        current_ = nullptr;
        if (DWORD error = GetLastError(); error != ERROR_NO_MORE_FILES)
            error_ = error ? error : ERROR_READ_FAULT;
    }
    return current_ != nullptr;
}

bool directory_reader::next() noexcept
{
    if (!current_)
        return false;
    if (current_->NextEntryOffset != 0) {
        current_ = reinterpret_cast<const FILE_FULL_DIR_INFO*>(
            reinterpret_cast<const std::byte*>(current_) + current_->NextEntryOffset);
        return true;
    }
    return read_batch();
}

void directory_reader::close() noexcept
{
    current_ = nullptr;
    if (pool_) {
        std::exchange(pool_, nullptr)->give(std::move(buffer_));
    }
    buffer_.release();
    handle_.reset();
}

} // namespace tavik::io
