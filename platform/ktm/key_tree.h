#pragma once
// A registry key tree as it is at one moment: its values and its subkeys, read recursively (the
// registry bounds a key's depth at 512), so that a change to it can be put back exactly.

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace platform::ktm {

struct key_tree {
    struct value {
        std::wstring name;
        DWORD type = 0;
        std::vector<BYTE> data;
    };
    bool exists = false;
    std::vector<value> values;
    std::vector<std::pair<std::wstring, key_tree>> subkeys;
};

// Reads the values and subkeys below the open `key` into `tree` (every subkey read is marked as
// existing; `tree.exists` is the caller's). False when any read fails.
bool read_key_tree(HKEY key, key_tree& tree);

} // namespace platform::ktm
