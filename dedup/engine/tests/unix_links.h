#pragma once
// Links in test folders: Wine shows a Unix symbolic link as a reparse point whose tag it does not
// report, and cannot make Windows junctions.

#include <windows.h>

#include <string>
#include <vector>

namespace dedup::testing {

// Wine shows a Unix symbolic link as a reparse point whose tag it does not report; the test makes
// links with the system's ln and removes them with rm (a Windows-side removal of the folders would
// walk through them).
inline std::wstring unix_path(const std::wstring& windows_path)
{
    using get_unix_name = char*(CDECL*)(LPCWSTR);
    auto unix_name = reinterpret_cast<get_unix_name>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
    char* name = unix_name ? unix_name(windows_path.c_str()) : nullptr;
    if (!name)
        return {};
    std::wstring result;
    for (const char* c = name; *c; ++c)
        result += wchar_t(static_cast<unsigned char>(*c));
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

inline bool run_unix(const wchar_t* program, std::wstring command)
{
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(program, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process))
        return false;
    // Wine neither waits for a Unix process reliably nor reports its exit code: callers watch for
    // the effect instead.
    WaitForSingleObject(process.hProcess, 10000);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

class unix_links {
public:
    unix_links() = default;
    unix_links(const unix_links&) = delete;
    unix_links& operator=(const unix_links&) = delete;
    ~unix_links()
    {
        for (const auto& link : made_)
            run_unix(L"Z:\\bin\\rm", L"/bin/rm -f " + link);
    }

    // True when the link `link` (a Windows path) to `target_unix` was made.
    bool make(const std::wstring& target_unix, const std::wstring& link)
    {
        const std::wstring link_unix = unix_path(link);
        if (link_unix.empty() || target_unix.empty() ||
            !run_unix(L"Z:\\bin\\ln", L"/bin/ln -s " + target_unix + L" " + link_unix))
            return false;
        made_.push_back(link_unix);
        // Listed as a reparse point in its folder once ln has run.
        const std::wstring folder = link.substr(0, link.rfind(L'\\'));
        const std::wstring name = link.substr(link.rfind(L'\\') + 1);
        for (int attempt = 0; attempt < 100; ++attempt) {
            WIN32_FIND_DATAW found;
            HANDLE search = FindFirstFileW((folder + L"\\*").c_str(), &found);
            bool listed = false;
            if (search != INVALID_HANDLE_VALUE) {
                do {
                    listed |= name == found.cFileName && (found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
                } while (!listed && FindNextFileW(search, &found));
                FindClose(search);
            }
            if (listed)
                return true;
            Sleep(50);
        }
        return false;
    }

private:
    std::vector<std::wstring> made_;
};

} // namespace dedup::testing
