#pragma once
// A registry key tree as it is at one moment (values and subkeys), so that a change to it can be
// undone exactly, and the deletion of a whole tree.

#include <string>
#include <utility>
#include <vector>

#include <windows.h>

#include <platform/ktm/key_tree.h>

namespace platform::ktm {
class transacted_calls;
}

namespace tolvane {

using key_tree = platform::ktm::key_tree;

// The tree at root\path now (exists = false when the key is missing or cannot be read).
key_tree snapshot_key_tree(HKEY root, const std::wstring& path);

// Makes root\path what the snapshot says: deletes what is there, then writes the snapshot back
// (nothing when it did not exist). Returns whether every step succeeded.
bool restore_key_tree(platform::ktm::transacted_calls& calls, HKEY root, const std::wstring& path, const key_tree& tree,
                      HANDLE transaction);

// Deletes the key with all its values and subkeys; true when the key is gone afterwards.
bool delete_registry_tree(platform::ktm::transacted_calls& calls, HKEY root, const std::wstring& path, HANDLE transaction);

} // namespace tolvane
