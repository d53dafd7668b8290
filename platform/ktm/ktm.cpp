#include <platform/ktm/ktm.h>

namespace platform::ktm {

namespace {

using create_transaction_fn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, LPGUID, DWORD, DWORD, DWORD, DWORD, LPWSTR);
using handle_fn = BOOL(WINAPI*)(HANDLE);
using create_directory_tx_fn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES, HANDLE);
using path_tx_fn = BOOL(WINAPI*)(LPCWSTR, HANDLE);
using copy_file_tx_fn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPPROGRESS_ROUTINE, LPVOID, LPBOOL, DWORD, HANDLE);
using hard_link_tx_fn = BOOL(WINAPI*)(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES, HANDLE);
using get_attributes_tx_fn = BOOL(WINAPI*)(LPCWSTR, GET_FILEEX_INFO_LEVELS, LPVOID, HANDLE);
using set_attributes_tx_fn = BOOL(WINAPI*)(LPCWSTR, DWORD, HANDLE);
using find_first_tx_fn = HANDLE(WINAPI*)(LPCWSTR, FINDEX_INFO_LEVELS, LPVOID, FINDEX_SEARCH_OPS, LPVOID, DWORD, HANDLE);
using reg_create_tx_fn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const LPSECURITY_ATTRIBUTES,
                                          PHKEY, LPDWORD, HANDLE, PVOID);
using reg_open_tx_fn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY, HANDLE, PVOID);
using reg_delete_tx_fn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD, HANDLE, PVOID);

FARPROC resolve_system(const wchar_t* dll, const char* name)
{
    HMODULE module = GetModuleHandleW(dll);
    if (!module)
        module = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    return module ? GetProcAddress(module, name) : nullptr;
}

template <class F>
F lookup(function_resolver resolve, const wchar_t* dll, const char* name)
{
    return reinterpret_cast<F>(reinterpret_cast<void*>(resolve(dll, name)));
}

class system_calls final : public transacted_calls {
public:
    explicit system_calls(function_resolver resolve)
    {
        create_ = lookup<create_transaction_fn>(resolve, L"ktmw32.dll", "CreateTransaction");
        commit_ = lookup<handle_fn>(resolve, L"ktmw32.dll", "CommitTransaction");
        rollback_ = lookup<handle_fn>(resolve, L"ktmw32.dll", "RollbackTransaction");
        create_directory_ = lookup<create_directory_tx_fn>(resolve, L"kernel32.dll", "CreateDirectoryTransactedW");
        remove_directory_ = lookup<path_tx_fn>(resolve, L"kernel32.dll", "RemoveDirectoryTransactedW");
        delete_file_ = lookup<path_tx_fn>(resolve, L"kernel32.dll", "DeleteFileTransactedW");
        copy_file_ = lookup<copy_file_tx_fn>(resolve, L"kernel32.dll", "CopyFileTransactedW");
        hard_link_ = lookup<hard_link_tx_fn>(resolve, L"kernel32.dll", "CreateHardLinkTransactedW");
        get_attributes_ = lookup<get_attributes_tx_fn>(resolve, L"kernel32.dll", "GetFileAttributesTransactedW");
        set_attributes_ = lookup<set_attributes_tx_fn>(resolve, L"kernel32.dll", "SetFileAttributesTransactedW");
        find_first_ = lookup<find_first_tx_fn>(resolve, L"kernel32.dll", "FindFirstFileTransactedW");
        reg_create_ = lookup<reg_create_tx_fn>(resolve, L"advapi32.dll", "RegCreateKeyTransactedW");
        reg_open_ = lookup<reg_open_tx_fn>(resolve, L"advapi32.dll", "RegOpenKeyTransactedW");
        reg_delete_ = lookup<reg_delete_tx_fn>(resolve, L"advapi32.dll", "RegDeleteKeyTransactedW");
        complete_ = create_ && commit_ && rollback_ && create_directory_ && remove_directory_ && delete_file_
                    && copy_file_ && hard_link_ && get_attributes_ && set_attributes_ && find_first_ && reg_create_
                    && reg_open_ && reg_delete_;
    }

    HANDLE create_transaction(const wchar_t* description) override
    {
        // Half a set of transacted functions would put some changes outside the transaction.
        if (!complete_)
            return nullptr;
        HANDLE h = create_(nullptr, nullptr, 0, 0, 0, 0, const_cast<LPWSTR>(description));
        if (h == INVALID_HANDLE_VALUE || h == nullptr)
            return nullptr;
        // Wine answers with the constant 1, which is no handle: there is nothing to close either.
        if (!is_real_handle(h))
            return nullptr;
        return h;
    }
    BOOL commit_transaction(HANDLE t) override { return commit_(t); }
    BOOL rollback_transaction(HANDLE t) override { return rollback_(t); }
    void close_transaction(HANDLE t) override
    {
        if (t)
            CloseHandle(t);
    }

    BOOL create_directory(const std::wstring& path, HANDLE t) override
    {
        return t ? create_directory_(nullptr, path.c_str(), nullptr, t) : CreateDirectoryW(path.c_str(), nullptr);
    }
    BOOL remove_directory(const std::wstring& path, HANDLE t) override
    {
        return t ? remove_directory_(path.c_str(), t) : RemoveDirectoryW(path.c_str());
    }
    BOOL delete_file(const std::wstring& path, HANDLE t) override
    {
        return t ? delete_file_(path.c_str(), t) : DeleteFileW(path.c_str());
    }
    BOOL copy_file(const std::wstring& source, const std::wstring& destination, HANDLE t) override
    {
        return t ? copy_file_(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, 0, t)
                 : CopyFileExW(source.c_str(), destination.c_str(), nullptr, nullptr, nullptr, 0);
    }
    BOOL create_hard_link(const std::wstring& link, const std::wstring& existing, HANDLE t) override
    {
        return t ? hard_link_(link.c_str(), existing.c_str(), nullptr, t)
                 : CreateHardLinkW(link.c_str(), existing.c_str(), nullptr);
    }
    DWORD get_attributes(const std::wstring& path, HANDLE t) override
    {
        if (!t)
            return GetFileAttributesW(path.c_str());
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return get_attributes_(path.c_str(), GetFileExInfoStandard, &data, t) ? data.dwFileAttributes
                                                                              : INVALID_FILE_ATTRIBUTES;
    }
    BOOL set_attributes(const std::wstring& path, DWORD attributes, HANDLE t) override
    {
        return t ? set_attributes_(path.c_str(), attributes, t) : SetFileAttributesW(path.c_str(), attributes);
    }
    HANDLE find_first(const std::wstring& pattern, WIN32_FIND_DATAW* data, HANDLE t) override
    {
        return t ? find_first_(pattern.c_str(), FindExInfoStandard, data, FindExSearchNameMatch, nullptr, 0, t)
                 : FindFirstFileExW(pattern.c_str(), FindExInfoStandard, data, FindExSearchNameMatch, nullptr, 0);
    }
    BOOL find_next(HANDLE find, WIN32_FIND_DATAW* data) override { return FindNextFileW(find, data); }

    LSTATUS reg_create_key(HKEY root, const std::wstring& path, REGSAM access, HKEY* key, HANDLE t) override
    {
        return t ? reg_create_(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key, nullptr,
                               t, nullptr)
                 : RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, access, nullptr, key,
                                   nullptr);
    }
    LSTATUS reg_open_key(HKEY root, const std::wstring& path, REGSAM access, HKEY* key, HANDLE t) override
    {
        return t ? reg_open_(root, path.c_str(), 0, access, key, t, nullptr)
                 : RegOpenKeyExW(root, path.c_str(), 0, access, key);
    }
    LSTATUS reg_delete_key(HKEY root, const std::wstring& path, REGSAM view, HANDLE t) override
    {
        return t ? reg_delete_(root, path.c_str(), view, 0, t, nullptr) : RegDeleteKeyExW(root, path.c_str(), view, 0);
    }
    LSTATUS reg_set_value(HKEY key, const std::wstring& name, DWORD type, const void* data, DWORD size) override
    {
        return RegSetValueExW(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size);
    }
    LSTATUS reg_delete_tree(HKEY key) override { return RegDeleteTreeW(key, nullptr); }
    LSTATUS reg_delete_value(HKEY key, const std::wstring& name) override { return RegDeleteValueW(key, name.c_str()); }

private:
    bool complete_ = false;
    create_transaction_fn create_ = nullptr;
    handle_fn commit_ = nullptr;
    handle_fn rollback_ = nullptr;
    create_directory_tx_fn create_directory_ = nullptr;
    path_tx_fn remove_directory_ = nullptr;
    path_tx_fn delete_file_ = nullptr;
    copy_file_tx_fn copy_file_ = nullptr;
    hard_link_tx_fn hard_link_ = nullptr;
    get_attributes_tx_fn get_attributes_ = nullptr;
    set_attributes_tx_fn set_attributes_ = nullptr;
    find_first_tx_fn find_first_ = nullptr;
    reg_create_tx_fn reg_create_ = nullptr;
    reg_open_tx_fn reg_open_ = nullptr;
    reg_delete_tx_fn reg_delete_ = nullptr;
};

} // namespace

bool is_real_handle(HANDLE h) noexcept
{
    DWORD flags = 0;
    return h && h != INVALID_HANDLE_VALUE && GetHandleInformation(h, &flags);
}

std::unique_ptr<transacted_calls> make_system_transactions(function_resolver resolve)
{
    return std::make_unique<system_calls>(resolve);
}

transacted_calls& system_transactions()
{
    static system_calls calls(resolve_system);
    return calls;
}

} // namespace platform::ktm
