#include <tolvane/registry_tree.h>

#include <platform/ktm/ktm.h>

namespace tolvane {

namespace {

bool write_tree(platform::ktm::transacted_calls& calls, HKEY root, const std::wstring& path, const key_tree& tree,
                HANDLE transaction)
{
    HKEY key = nullptr;
    if (calls.reg_create_key(root, path, KEY_READ | KEY_WRITE, &key, transaction) != ERROR_SUCCESS)
        return false;
    bool ok = true;
    for (const auto& v : tree.values)
        ok = calls.reg_set_value(key, v.name, v.type, v.data.data(), static_cast<DWORD>(v.data.size())) == ERROR_SUCCESS
             && ok;
    RegCloseKey(key);
    for (const auto& [name, child] : tree.subkeys)
        ok = write_tree(calls, root, path + L"\\" + name, child, transaction) && ok;
    return ok;
}

} // namespace

key_tree snapshot_key_tree(HKEY root, const std::wstring& path)
{
    key_tree tree;
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return tree;
    tree.exists = platform::ktm::read_key_tree(key, tree);
    RegCloseKey(key);
    if (!tree.exists)
        tree = key_tree{};
    return tree;
}

bool restore_key_tree(platform::ktm::transacted_calls& calls, HKEY root, const std::wstring& path, const key_tree& tree,
                      HANDLE transaction)
{
    delete_registry_tree(calls, root, path, transaction);
    return !tree.exists || write_tree(calls, root, path, tree, transaction);
}

bool delete_registry_tree(platform::ktm::transacted_calls& calls, HKEY root, const std::wstring& path, HANDLE transaction)
{
    HKEY key = nullptr;
    if (calls.reg_open_key(root, path, DELETE | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_ENUMERATE_SUB_KEYS, &key,
                           transaction)
        != ERROR_SUCCESS)
        return false;
    const LSTATUS s = calls.reg_delete_tree(key);
    RegCloseKey(key);
    if (s != ERROR_SUCCESS)
        return false;
    return calls.reg_delete_key(root, path, 0, transaction) == ERROR_SUCCESS;
}

} // namespace tolvane
