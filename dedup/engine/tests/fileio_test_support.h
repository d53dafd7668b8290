#pragma once
// Shared pieces of the file I/O tests: a scratch folder and a way to run a coroutine to its end.

#include <windows.h>

#include <string>

#include <tavik/future.h>

namespace fileio_test {

// A fresh folder under the temporary folder, removed with its files at the end of the test.
class scratch_folder {
public:
    scratch_folder()
    {
        wchar_t temp[MAX_PATH + 1];
        GetTempPathW(MAX_PATH + 1, temp);
        static LONG counter = 0;
        path_ = std::wstring(temp) + L"fileio-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                std::to_wstring(InterlockedIncrement(&counter));
        CreateDirectoryW(path_.c_str(), nullptr);
    }
    ~scratch_folder() { remove_tree(path_); }
    scratch_folder(const scratch_folder&) = delete;
    scratch_folder& operator=(const scratch_folder&) = delete;

    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static void remove_tree(const std::wstring& folder)
    {
        WIN32_FIND_DATAW data;
        HANDLE find = FindFirstFileW((folder + L"\\*").c_str(), &data);
        if (find != INVALID_HANDLE_VALUE) {
            do {
                std::wstring name = data.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                std::wstring child = folder + L"\\" + name;
                if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    remove_tree(child);
                else
                    DeleteFileW(child.c_str());
            } while (FindNextFileW(find, &data));
            FindClose(find);
        }
        RemoveDirectoryW(folder.c_str());
    }

    std::wstring path_;
};

template <class T>
T run(tavik::details::future<T> f)
{
    return tavik::details::wait_blocking_result(std::move(f));
}

} // namespace fileio_test
