#pragma once
// The product's fixed identities of the shell extension, chosen once and never changed: the root
// Explorer command's class (also every command's canonical name), the library's AppID and its
// library id. The registry holds them in braced lower-case text.

#include <windows.h>

namespace quastle {

// {6f2a1c43-8d5e-4b7a-9c31-2e84d0f5a6b9}
inline constexpr CLSID explorer_command_clsid = {0x6f2a1c43, 0x8d5e, 0x4b7a, {0x9c, 0x31, 0x2e, 0x84, 0xd0, 0xf5, 0xa6, 0xb9}};
inline constexpr wchar_t explorer_command_clsid_text[] = L"{6f2a1c43-8d5e-4b7a-9c31-2e84d0f5a6b9}";
// {b1d7e2f0-3c49-4e86-a5d2-71c08f93e4a1}
inline constexpr wchar_t app_id_text[] = L"{b1d7e2f0-3c49-4e86-a5d2-71c08f93e4a1}";
// {4a9e6c12-f035-47b8-8d61-c2b5e07a19f3}
inline constexpr wchar_t library_id_text[] = L"{4a9e6c12-f035-47b8-8d61-c2b5e07a19f3}";

} // namespace quastle
