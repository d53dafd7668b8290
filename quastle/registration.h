#pragma once
// The registry content of the shell extension, as key records below HKEY_CLASSES_ROOT: the AppID
// keys and the class with its two context-menu verbs. `module_path` is the library's full path.

#include <platform/registrar/registrar.h>

#include <string>
#include <vector>

namespace quastle {

std::vector<platform::registrar::key_record> app_id_keys();
std::vector<platform::registrar::key_record> class_keys(const std::wstring& module_path);

// Registers (or unregisters) both tables below `root` with the calling thread's locale switched to
// the system default for the duration; the first failure ends the run.
HRESULT register_server(HKEY root, const std::wstring& module_path,
                        platform::registrar::registry_calls& calls = platform::registrar::system_registry());
HRESULT unregister_server(HKEY root, const std::wstring& module_path,
                          platform::registrar::registry_calls& calls = platform::registrar::system_registry());

} // namespace quastle
