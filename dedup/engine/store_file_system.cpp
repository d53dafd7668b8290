#include <dedup/engine/store_file_system.h>

#include <tavik/error.h>

namespace dedup {

namespace {

class system_file_system final : public store_file_system {
public:
    overlapped_file create_file(const std::wstring& path, bool unbuffered) override
    {
        DWORD flags = FILE_FLAG_OVERLAPPED | (unbuffered ? FILE_FLAG_NO_BUFFERING : 0);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            tavik::details::throw_last_error();
        return overlapped_file(file);
    }

    overlapped_file open_file(const std::wstring& path, bool unbuffered) override
    {
        DWORD flags = FILE_FLAG_OVERLAPPED | (unbuffered ? FILE_FLAG_NO_BUFFERING : 0);
        HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr);
        if (file == INVALID_HANDLE_VALUE)
            tavik::details::throw_last_error();
        return overlapped_file(file);
    }

    tavik::details::future<std::uint32_t> write(const overlapped_file& file, std::uint64_t position,
                                                const void* data, std::uint32_t length) override
    {
        co_return co_await file.write(position, data, length);
    }

    void flush(const overlapped_file& file) override
    {
        if (!FlushFileBuffers(file.handle()))
            tavik::details::throw_last_error();
    }

    bool replace(const std::wstring& target, const std::wstring& replacement, const std::wstring& backup) override
    {
        return ReplaceFileW(target.c_str(), replacement.c_str(), backup.c_str(), 0, nullptr, nullptr) != FALSE;
    }

    bool move(const std::wstring& from, const std::wstring& to) override
    {
        return MoveFileW(from.c_str(), to.c_str()) != FALSE;
    }

    bool remove(const std::wstring& path) override { return DeleteFileW(path.c_str()) != FALSE; }

    bool create_directory(const std::wstring& path) override
    {
        return CreateDirectoryW(path.c_str(), nullptr) != FALSE;
    }

    bool file_exists(const std::wstring& path) override
    {
        DWORD attributes = GetFileAttributesW(path.c_str());
        return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
    }
};

} // namespace

store_file_system& system_store_file_system() noexcept
{
    static system_file_system instance;
    return instance;
}

} // namespace dedup
