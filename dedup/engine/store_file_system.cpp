#include <dedup/engine/store_file_system.h>

#include <tavik/error.h>

namespace dedup {

namespace {

bool is_dot_entry(const wchar_t* name) noexcept
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

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

    std::uint64_t file_size(const overlapped_file& file) override
    {
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file.handle(), &size))
            tavik::details::throw_last_error();
        return static_cast<std::uint64_t>(size.QuadPart);
    }

    tavik::details::future<std::uint32_t> read(const overlapped_file& file, std::uint64_t position, void* data,
                                               std::uint32_t length) override
    {
        co_return co_await file.read(position, data, length);
    }

    mapped_file map_file(const std::wstring& path) override
    {
        tavik::unique_file file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                            FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file)
            tavik::details::throw_last_error();
        LARGE_INTEGER size;
        if (!GetFileSizeEx(file.get(), &size))
            tavik::details::throw_last_error();
        mapped_file mapped;
        mapped.size = static_cast<std::uint64_t>(size.QuadPart);
        if (mapped.size == 0)
            return mapped;
        // The view keeps the file mapped after both handles are closed.
        tavik::unique_handle mapping(CreateFileMappingW(file.get(), nullptr, PAGE_READONLY, 0, 0, nullptr));
        if (!mapping)
            tavik::details::throw_last_error();
        mapped.view.reset(MapViewOfFile(mapping.get(), FILE_MAP_READ, 0, 0, 0));
        if (!mapped.view)
            tavik::details::throw_last_error();
        return mapped;
    }

    std::optional<std::vector<folder_entry>> list_folder(const std::wstring& path) override
    {
        WIN32_FIND_DATAW data;
        const std::wstring pattern = path + L"\\*";
        tavik::unique_find_handle find(FindFirstFileExW(pattern.c_str(), FindExInfoBasic, &data, FindExSearchNameMatch,
                                                        nullptr, FIND_FIRST_EX_LARGE_FETCH));
        if (!find) {
            const DWORD error = GetLastError();
            if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)
                return std::nullopt;
            tavik::details::throw_win32_error(static_cast<std::int32_t>(error));
        }
        std::vector<folder_entry> entries;
        do {
            if (is_dot_entry(data.cFileName))
                continue;
            entries.push_back({data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0,
                               (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow});
        } while (FindNextFileW(find.get(), &data));
        if (DWORD error = GetLastError(); error != ERROR_NO_MORE_FILES)
            tavik::details::throw_win32_error(static_cast<std::int32_t>(error));
        return entries;
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

    bool remove_directory(const std::wstring& path) override { return RemoveDirectoryW(path.c_str()) != FALSE; }

    unique_file_keep_last_error create_lock_file(const std::wstring& path) override
    {
        return unique_file_keep_last_error(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                                       CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr));
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
