#include <platform/transacted_registry/transacted_registry.h>

namespace platform::registry {
namespace {

using open_fn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, REGSAM, PHKEY, HANDLE, PVOID);
using create_fn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, DWORD, LPWSTR, DWORD, REGSAM, const SECURITY_ATTRIBUTES*, PHKEY,
                                   LPDWORD, HANDLE, PVOID);
using delete_fn = LSTATUS(WINAPI*)(HKEY, LPCWSTR, REGSAM, DWORD, HANDLE, PVOID);

template <class F>
F find(const char* name) noexcept
{
    // advapi32 stays loaded for the life of the process (the registry functions themselves live there).
    static HMODULE module = LoadLibraryW(L"advapi32.dll");
    return module ? reinterpret_cast<F>(reinterpret_cast<void*>(GetProcAddress(module, name))) : nullptr;
}

} // namespace

LSTATUS open_key_transacted(HKEY root, const wchar_t* path, DWORD options, REGSAM access, HKEY* result,
                            HANDLE transaction) noexcept
{
    static const open_fn fn = find<open_fn>("RegOpenKeyTransactedW");
    if (!fn)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return fn(root, path, options, access, result, transaction, nullptr);
}

LSTATUS create_key_transacted(HKEY root, const wchar_t* path, DWORD options, REGSAM access, HKEY* result,
                              DWORD* disposition, HANDLE transaction) noexcept
{
    static const create_fn fn = find<create_fn>("RegCreateKeyTransactedW");
    if (!fn)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return fn(root, path, 0, nullptr, options, access, nullptr, result, disposition, transaction, nullptr);
}

LSTATUS delete_key_transacted(HKEY root, const wchar_t* path, REGSAM view, HANDLE transaction) noexcept
{
    static const delete_fn fn = find<delete_fn>("RegDeleteKeyTransactedW");
    if (!fn)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return fn(root, path, view, 0, transaction, nullptr);
}

} // namespace platform::registry
