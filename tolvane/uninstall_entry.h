#pragma once
// The product's entry in the list of installed programs, which is also the installer's memory of
// the installation: its folder, start-menu folder and version, and (written by the components and
// features) the "Components" and "Features" subkeys.
//
// Without a transaction, publishing and unpublishing record as their undo the exact tree that was
// there before: undoing a publish over an existing entry (an update) puts the old entry back instead
// of deleting it, and undoing an unpublish brings back the Components and Features subkeys too.

#include <array>
#include <cstdint>
#include <string>

#include <windows.h>

namespace tolvane {

class package;
class ActionQueue;

inline constexpr wchar_t uninstall_key_base[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

// HKEY_LOCAL_MACHINE for a per-machine installation, else HKEY_CURRENT_USER.
HKEY uninstall_root(const package& pkg);
// The base path and the AppID property (path form).
std::wstring uninstall_key_path(const package& pkg);
// major << 48 | minor << 32 | build << 16 | revision.
std::uint64_t pack_version(const std::array<std::uint32_t, 4>& version) noexcept;

HRESULT publish(package& pkg, ActionQueue* undo, HANDLE transaction);
HRESULT unpublish(package& pkg, ActionQueue* undo, HANDLE transaction);

} // namespace tolvane
