#include <platform/projfs/emulation/disk_items.h>

#include <tavik/unique_handle.h>

#include <winioctl.h>

#include <string_view>

namespace projfs::emulation {

namespace {

// Gives an open item the metadata of `info`. A file is made sparse, which only saves space, so a
// file system without sparse files is no failure.
bool apply_info(HANDLE handle, const PRJ_FILE_BASIC_INFO& info)
{
    if (!info.IsDirectory) {
        DWORD returned;
        DeviceIoControl(handle, FSCTL_SET_SPARSE, nullptr, 0, nullptr, 0, &returned, nullptr);
        FILE_END_OF_FILE_INFO end{};
        end.EndOfFile.QuadPart = info.FileSize;
        if (!SetFileInformationByHandle(handle, FileEndOfFileInfo, &end, sizeof end))
            return false;
    }
    FILE_BASIC_INFO basic{};
    basic.CreationTime = info.CreationTime;
    basic.LastAccessTime = info.LastAccessTime;
    basic.LastWriteTime = info.LastWriteTime;
    basic.ChangeTime = info.ChangeTime;
    // Without any settable attribute it is FILE_ATTRIBUTE_NORMAL, which clears them: zero would
    // leave those of an existing directory as they are.
    basic.FileAttributes = (info.FileAttributes & settable_attributes) ? info.FileAttributes & settable_attributes
                                                                        : FILE_ATTRIBUTE_NORMAL;
    return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof basic);
}

tavik::unique_file open_directory_attributes(const std::wstring& path)
{
    return tavik::unique_file(CreateFileW(path.c_str(), FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                          nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
}

} // namespace

HRESULT last_error() noexcept
{
    DWORD error = GetLastError();
    return error ? HRESULT_FROM_WIN32(error) : E_FAIL;
}

bool stat_item(const std::wstring& path, item_look& look, DWORD& error)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data)) {
        error = GetLastError();
        return false;
    }
    look.attributes = data.dwFileAttributes;
    look.size = look.directory() ? 0 : (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    look.creation_time = std::int64_t((std::uint64_t(data.ftCreationTime.dwHighDateTime) << 32) |
                                      data.ftCreationTime.dwLowDateTime);
    look.last_write_time = std::int64_t((std::uint64_t(data.ftLastWriteTime.dwHighDateTime) << 32) |
                                        data.ftLastWriteTime.dwLowDateTime);
    return true;
}

std::optional<std::uint64_t> file_index(const std::wstring& path)
{
    tavik::unique_file item(CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                        OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    BY_HANDLE_FILE_INFORMATION info;
    if (!item || !GetFileInformationByHandle(item.get(), &info))
        return std::nullopt;
    return (std::uint64_t(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
}

bool remove_item(const std::wstring& path, const item_look& look)
{
    if (look.attributes & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(path.c_str(), (look.attributes & settable_attributes & ~FILE_ATTRIBUTE_READONLY) |
                                             (look.directory() ? 0 : FILE_ATTRIBUTE_NORMAL));
    BOOL removed = look.directory() ? RemoveDirectoryW(path.c_str()) : DeleteFileW(path.c_str());
    if (!removed && (look.attributes & FILE_ATTRIBUTE_READONLY)) {
        DWORD error = GetLastError();
        SetFileAttributesW(path.c_str(), look.attributes & settable_attributes);
        SetLastError(error);
    }
    return removed;
}

std::vector<std::wstring> list_names(const std::wstring& path)
{
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    tavik::unique_find_handle search(
        FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found, FindExSearchNameMatch, nullptr, 0));
    if (!search)
        return names;
    do {
        std::wstring_view name = found.cFileName;
        if (name != L"." && name != L"..")
            names.emplace_back(name);
    } while (FindNextFileW(search.get(), &found));
    return names;
}

std::vector<std::pair<std::wstring, item_look>> list_items(const std::wstring& path)
{
    std::vector<std::pair<std::wstring, item_look>> items;
    WIN32_FIND_DATAW found;
    tavik::unique_find_handle search(FindFirstFileExW((path + L"\\*").c_str(), FindExInfoBasic, &found,
                                                      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
    if (!search)
        return items;
    do {
        std::wstring_view name = found.cFileName;
        if (name == L"." || name == L"..")
            continue;
        item_look look;
        look.attributes = found.dwFileAttributes;
        look.size = look.directory() ? 0 : (std::uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
        look.creation_time = std::int64_t((std::uint64_t(found.ftCreationTime.dwHighDateTime) << 32) |
                                          found.ftCreationTime.dwLowDateTime);
        look.last_write_time = std::int64_t((std::uint64_t(found.ftLastWriteTime.dwHighDateTime) << 32) |
                                            found.ftLastWriteTime.dwLowDateTime);
        items.emplace_back(std::wstring(name), look);
    } while (FindNextFileW(search.get(), &found));
    return items;
}

HRESULT make_item(const std::wstring& path, const PRJ_FILE_BASIC_INFO& info, item_look& made)
{
    tavik::unique_file item;
    if (info.IsDirectory) {
        if (!CreateDirectoryW(path.c_str(), nullptr))
            return last_error();
        item = open_directory_attributes(path);
    } else {
        item.reset(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    if (!item) {
        DWORD failure = GetLastError();
        if (info.IsDirectory)
            RemoveDirectoryW(path.c_str());
        return HRESULT_FROM_WIN32(failure);
    }
    DWORD failure = apply_info(item.get(), info) ? 0 : GetLastError();
    item.reset();  // the file was opened without sharing: it cannot be looked at or removed while open
    DWORD error = 0;
    if (!stat_item(path, made, error))
        failure = failure ? failure : error;
    if (failure) {
        if (info.IsDirectory) {
            RemoveDirectoryW(path.c_str());
        } else {
            SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
            DeleteFileW(path.c_str());
        }
        return HRESULT_FROM_WIN32(failure);
    }
    return S_OK;
}

HRESULT restamp_directory(const std::wstring& path, const PRJ_FILE_BASIC_INFO& info, item_look& made)
{
    DWORD failure = 0;
    {
        tavik::unique_file directory = open_directory_attributes(path);
        if (!directory)
            return last_error();
        failure = apply_info(directory.get(), info) ? 0 : GetLastError();
    }
    DWORD error = 0;
    if (!failure && !stat_item(path, made, error))
        failure = error;
    return failure ? HRESULT_FROM_WIN32(failure) : S_OK;
}

} // namespace projfs::emulation
