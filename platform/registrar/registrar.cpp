#include <platform/registrar/registrar.h>

namespace platform::registrar {
namespace {

HRESULT hresult_of(LSTATUS status) noexcept { return HRESULT_FROM_WIN32(static_cast<DWORD>(status)); }

bool missing(LSTATUS status) noexcept { return status == ERROR_FILE_NOT_FOUND || status == ERROR_PATH_NOT_FOUND; }

// Closes an open key when the run leaves its record.
struct open_key_owner {
    registry_calls& calls;
    HKEY key = nullptr;
    ~open_key_owner()
    {
        if (key)
            calls.close_key(key);
    }
};

} // namespace

LSTATUS registry_calls::create_key(HKEY root, const std::wstring& path, HKEY* key)
{
    return RegCreateKeyExW(root, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_SET_VALUE | KEY_QUERY_VALUE,
                           nullptr, key, nullptr);
}

LSTATUS registry_calls::open_key(HKEY root, const std::wstring& path, HKEY* key)
{
    return RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS, key);
}

LSTATUS registry_calls::set_string(HKEY key, const std::wstring& name, const std::wstring& data)
{
    return RegSetValueExW(key, name.empty() ? nullptr : name.c_str(), 0, REG_SZ,
                          reinterpret_cast<const BYTE*>(data.c_str()),
                          static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
}

LSTATUS registry_calls::subkey_count(HKEY key, DWORD* count)
{
    return RegQueryInfoKeyW(key, nullptr, nullptr, nullptr, count, nullptr, nullptr, nullptr, nullptr, nullptr,
                            nullptr, nullptr);
}

LSTATUS registry_calls::delete_tree(HKEY root, const std::wstring& path) { return RegDeleteTreeW(root, path.c_str()); }
LSTATUS registry_calls::delete_key(HKEY root, const std::wstring& path) { return RegDeleteKeyW(root, path.c_str()); }
LSTATUS registry_calls::close_key(HKEY key) { return RegCloseKey(key); }

registry_calls& system_registry()
{
    static registry_calls calls;
    return calls;
}

HRESULT register_keys(HKEY root, std::span<const key_record> records, registry_calls& calls)
{
    for (const key_record& record : records) {
        if (record.on_unregister == removal::force_remove) {
            const LSTATUS status = calls.delete_tree(root, record.path);
            if (status != ERROR_SUCCESS && !missing(status))
                return hresult_of(status);
        }
        open_key_owner key{calls};
        if (const LSTATUS status = calls.create_key(root, record.path, &key.key); status != ERROR_SUCCESS)
            return hresult_of(status);
        for (const value_record& value : record.values)
            if (const LSTATUS status = calls.set_string(key.key, value.name, value.data); status != ERROR_SUCCESS)
                return hresult_of(status);
    }
    return S_OK;
}

HRESULT unregister_keys(HKEY root, std::span<const key_record> records, registry_calls& calls)
{
    for (auto it = records.rbegin(); it != records.rend(); ++it) {
        const key_record& record = *it;
        if (record.on_unregister == removal::no_remove)
            continue;
        if (record.on_unregister == removal::force_remove) {
            const LSTATUS status = calls.delete_tree(root, record.path);
            if (status != ERROR_SUCCESS && !missing(status))
                return hresult_of(status);
            continue;
        }
        DWORD subkeys = 0;
        {
            open_key_owner key{calls};
            const LSTATUS status = calls.open_key(root, record.path, &key.key);
            if (missing(status))
                continue;
            if (status != ERROR_SUCCESS)
                return hresult_of(status);
            if (const LSTATUS query = calls.subkey_count(key.key, &subkeys); query != ERROR_SUCCESS)
                return hresult_of(query);
        }
        // Children the table names are gone by now; any left belong to someone else.
        if (subkeys > 0)
            continue;
        const LSTATUS status = calls.delete_key(root, record.path);
        if (status != ERROR_SUCCESS && !missing(status))
            return hresult_of(status);
    }
    return S_OK;
}

} // namespace platform::registrar
