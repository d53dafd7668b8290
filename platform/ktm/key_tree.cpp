#include <platform/ktm/key_tree.h>

namespace platform::ktm {

bool read_key_tree(HKEY key, key_tree& tree)
{
    for (DWORD i = 0;; ++i) {
        wchar_t name[16384];
        DWORD length = 16384, type = 0, size = 0;
        LSTATUS s = RegEnumValueW(key, i, name, &length, nullptr, &type, nullptr, &size);
        if (s == ERROR_NO_MORE_ITEMS)
            break;
        if (s != ERROR_SUCCESS)
            return false;
        key_tree::value v{std::wstring(name, length), type, std::vector<BYTE>(size)};
        length = 16384;
        if (RegEnumValueW(key, i, name, &length, nullptr, &type, v.data.data(), &size) != ERROR_SUCCESS)
            return false;
        v.data.resize(size);
        tree.values.push_back(std::move(v));
    }
    for (DWORD i = 0;; ++i) {
        wchar_t name[256];
        DWORD length = 256;
        LSTATUS s = RegEnumKeyExW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr);
        if (s == ERROR_NO_MORE_ITEMS)
            break;
        if (s != ERROR_SUCCESS)
            return false;
        HKEY sub = nullptr;
        if (RegOpenKeyExW(key, name, 0, KEY_READ, &sub) != ERROR_SUCCESS)
            return false;
        key_tree child;
        child.exists = true;
        const bool ok = read_key_tree(sub, child);
        RegCloseKey(sub);
        if (!ok)
            return false;
        tree.subkeys.emplace_back(std::wstring(name, length), std::move(child));
    }
    return true;
}

} // namespace platform::ktm
