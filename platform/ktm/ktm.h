#pragma once
// Kernel transactions and the file and registry calls the installer makes inside one.
//
// The installer calls every file or registry function through `transacted_calls`, passing the
// transaction handle or null. With null the plain function runs (CreateDirectoryW, DeleteFileW,
// RegCreateKeyExW...); with a handle, its transacted counterpart. Which implementation is used is
// chosen when the installer is built up, never switched later:
//   - `system_transactions()`: the platform. Every transacted function (ktmw32 and the kernel32 and
//     advapi32 ones) is looked up at run time, because a static import of one the platform lacks
//     still loads and then aborts the process on the first call. When any of them is missing, or
//     CreateTransaction returns a handle that is not a real handle (Wine gives 1), there is no
//     transaction: `create_transaction` returns null and the installer runs untransacted.
//   - `emulated_transactions` (emulated_transactions.h): tests. It journals the before-image of every
//     path and key a transaction touches, puts them back on rollback or on a close without commit,
//     and can fail the N-th call or the commit.

#include <cstdint>
#include <memory>
#include <string>

#include <windows.h>

namespace platform::ktm {

// ERROR_TRANSACTION_NOT_ACTIVE: a commit or rollback of a transaction that is over.
inline constexpr DWORD error_transaction_not_active = 6701;

class transacted_calls {
public:
    virtual ~transacted_calls() = default;

    // A new transaction, or null when there is none to be had (the failure is then not an error:
    // the caller runs without one).
    virtual HANDLE create_transaction(const wchar_t* description) = 0;
    // TRUE on success; FALSE with the last error set. A failed commit has rolled everything back.
    virtual BOOL commit_transaction(HANDLE transaction) = 0;
    virtual BOOL rollback_transaction(HANDLE transaction) = 0;
    // Closing a transaction that was neither committed nor rolled back rolls it back.
    virtual void close_transaction(HANDLE transaction) = 0;

    // Files: the Win32 contract of the plain function (result, last error), `transaction` may be null.
    virtual BOOL create_directory(const std::wstring& path, HANDLE transaction) = 0;
    virtual BOOL remove_directory(const std::wstring& path, HANDLE transaction) = 0;
    virtual BOOL delete_file(const std::wstring& path, HANDLE transaction) = 0;
    virtual BOOL copy_file(const std::wstring& source, const std::wstring& destination, HANDLE transaction) = 0;
    // An untransacted copy that fails with ERROR_FILE_EXISTS instead of replacing a file.
    virtual BOOL copy_new_file(const std::wstring& source, const std::wstring& destination)
    {
        return CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, COPY_FILE_FAIL_IF_EXISTS);
    }
    virtual BOOL create_hard_link(const std::wstring& link, const std::wstring& existing, HANDLE transaction) = 0;
    // INVALID_FILE_ATTRIBUTES with the last error set on failure.
    virtual DWORD get_attributes(const std::wstring& path, HANDLE transaction) = 0;
    virtual BOOL set_attributes(const std::wstring& path, DWORD attributes, HANDLE transaction) = 0;
    // FindFirstFileExW (FindExInfoStandard, FindExSearchNameMatch) or its transacted form; the result
    // is closed with FindClose.
    virtual HANDLE find_first(const std::wstring& pattern, WIN32_FIND_DATAW* data, HANDLE transaction) = 0;
    virtual BOOL find_next(HANDLE find, WIN32_FIND_DATAW* data) = 0;

    // Registry: the Win32 contract (an LSTATUS). `access` as in RegCreateKeyExW / RegOpenKeyExW.
    virtual LSTATUS reg_create_key(HKEY root, const std::wstring& path, REGSAM access, HKEY* key,
                                   HANDLE transaction) = 0;
    virtual LSTATUS reg_open_key(HKEY root, const std::wstring& path, REGSAM access, HKEY* key,
                                 HANDLE transaction) = 0;
    // Deletes one key that has no subkeys.
    virtual LSTATUS reg_delete_key(HKEY root, const std::wstring& path, REGSAM view, HANDLE transaction) = 0;
    virtual LSTATUS reg_set_value(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size) = 0;
    virtual LSTATUS reg_delete_tree(HKEY key) = 0;
    virtual LSTATUS reg_delete_value(HKEY key, const std::wstring& name) = 0;
};

// The platform's functions (see the top of this file). Lives as long as the process.
transacted_calls& system_transactions();

// Whether `h` is a handle the process really holds (GetHandleInformation accepts it).
bool is_real_handle(HANDLE h) noexcept;

} // namespace platform::ktm

namespace platform::ktm {

// Looks up one function of a system library (the DLL's file name, the export); null when either is
// missing. The system implementation uses GetModuleHandleW / LoadLibraryExW from the system folder
// and GetProcAddress; tests pass their own to take functions away.
using function_resolver = FARPROC (*)(const wchar_t* dll, const char* name);

// A system implementation over the given resolver (system_transactions() uses the real one).
std::unique_ptr<transacted_calls> make_system_transactions(function_resolver resolve);

} // namespace platform::ktm
