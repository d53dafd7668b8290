#include "test_support.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <stdexcept>

namespace test_support {

temp_folder::temp_folder()
{
    static std::atomic<std::uint32_t> counter{0};
    wchar_t base[MAX_PATH];
    DWORD length = GetTempPathW(MAX_PATH, base);
    if (length == 0 || length >= MAX_PATH)
        throw std::runtime_error("no temporary folder");
    path_ = std::wstring(base) + L"dedup-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::to_wstring(counter.fetch_add(1)) + L"-" + std::to_wstring(GetTickCount64());
    std::filesystem::create_directories(path_);
}

temp_folder::~temp_folder() { remove_tree(path_); }

void remove_tree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::wstring item = path + L"\\" + name;
            // A read-only file or folder refuses deletion until its attribute is cleared.
            SetFileAttributesW(item.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(item);
            else
                DeleteFileW(item.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    SetFileAttributesW(path.c_str(), FILE_ATTRIBUTE_NORMAL);
    RemoveDirectoryW(path.c_str());
}

bytes read_file(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot open file");
    LARGE_INTEGER size;
    GetFileSizeEx(h, &size);
    bytes content(static_cast<std::size_t>(size.QuadPart));
    DWORD read = 0;
    if (!content.empty())
        ReadFile(h, content.data(), static_cast<DWORD>(content.size()), &read, nullptr);
    CloseHandle(h);
    content.resize(read);
    return content;
}

void write_file(const std::wstring& path, const bytes& content)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot create file");
    DWORD written = 0;
    if (!content.empty())
        WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
    CloseHandle(h);
}

bool file_exists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::uint64_t file_size(const std::wstring& path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data))
        return 0;
    return (std::uint64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
}

void make_folder(const std::wstring& path) { std::filesystem::create_directories(path); }

std::vector<std::wstring> list_files(const std::wstring& folder)
{
    std::vector<std::wstring> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(folder, ec))
        if (entry.is_regular_file())
            names.push_back(entry.path().filename().wstring());
    std::sort(names.begin(), names.end());
    return names;
}

bytes to_bytes(std::string_view text)
{
    bytes b(text.size());
    std::memcpy(b.data(), text.data(), text.size());
    return b;
}

} // namespace test_support
