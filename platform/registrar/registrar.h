#pragma once
// Registration of a COM server's keys from a table of key records, in place of a registrar that
// reads script text: each record is a key path below the root, what unregistration does with it,
// and its string values. Records list parents before their children.
//
// Register: records in order; a ForceRemove key is deleted with its whole subtree before it is
// created again; every value is written as REG_SZ.
// Unregister: records in reverse order, children first. NoRemove keys stay. A key that still holds
// subkeys the table does not name stays too (someone else's), except a ForceRemove key, which goes
// with its subtree. A key that is already missing is not a failure.
//
// The first failing registry call ends the run with its HRESULT; keys written before it stay.

#include <windows.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace platform::registrar {

enum class removal : std::uint8_t {
    remove,       // deleted on unregistration (if no foreign subkeys)
    no_remove,    // created, never deleted
    force_remove, // replaced with its subtree on registration, deleted with it on unregistration
};

struct value_record {
    std::wstring name; // empty: the key's default value
    std::wstring data;
};

struct key_record {
    std::wstring path; // below the root, backslash-separated
    removal on_unregister = removal::remove;
    std::vector<value_record> values;
};

// The registry calls the registrar makes, one seam so that tests can fail the N-th of them (Wine
// does not enforce key rights on subkey creation). Each answers a Win32 error code.
class registry_calls {
public:
    virtual ~registry_calls() = default;
    virtual LSTATUS create_key(HKEY root, const std::wstring& path, HKEY* key);
    virtual LSTATUS open_key(HKEY root, const std::wstring& path, HKEY* key);
    virtual LSTATUS set_string(HKEY key, const std::wstring& name, const std::wstring& data);
    virtual LSTATUS subkey_count(HKEY key, DWORD* count);
    virtual LSTATUS delete_tree(HKEY root, const std::wstring& path);
    virtual LSTATUS delete_key(HKEY root, const std::wstring& path);
    virtual LSTATUS close_key(HKEY key);
};

// The process's real registry.
registry_calls& system_registry();

HRESULT register_keys(HKEY root, std::span<const key_record> records, registry_calls& calls = system_registry());
HRESULT unregister_keys(HKEY root, std::span<const key_record> records, registry_calls& calls = system_registry());

} // namespace platform::registrar
