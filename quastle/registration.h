#pragma once
// The registry content of the shell extension, as key records below HKEY_CLASSES_ROOT: the AppID
// keys and the class with its two context-menu verbs. The records take two texts from the
// replacements the module gives every table: "MODULE", the library's full path, and "APPID".

#include <platform/registrar/registrar.h>

#include <map>
#include <string>
#include <vector>

namespace quastle {

using registry_replacements = std::map<std::wstring, std::wstring>;

std::vector<platform::registrar::key_record> app_id_keys(const registry_replacements& replacements);
std::vector<platform::registrar::key_record> class_keys(const registry_replacements& replacements);

} // namespace quastle
