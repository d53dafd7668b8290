#pragma once
// The library's module object: its identities (library id and AppID), its object map, and the
// registration of both registry tables, and the services a COM module offers its objects: a lock
// count and the process's global interface table.
//
// The module's own lock count is not what decides whether the library may be unloaded: that is
// Ostrel::com::module_count (live objects and server locks), which DllCanUnloadNow answers.

#include <quastle/registration.h>

#include <windows.h>
#include <objidl.h>

#include <span>
#include <string>

namespace quastle {

class CDedupModule {
public:
    // One class of the object map and the table of its registry keys. The module's class factory
    // is not ATL's: the map holds no creation.
    struct object_entry {
        const CLSID* clsid;
        std::vector<platform::registrar::key_record> (*registry_keys)(const registry_replacements&);
    };

    // `app_id_keys` is the AppID's table, registered before and unregistered after the objects'.
    CDedupModule(const wchar_t* library_id, const wchar_t* app_id,
                 std::vector<platform::registrar::key_record> (*app_id_keys)(const registry_replacements&),
                 std::span<const object_entry> objects) noexcept;
    // Releases the global interface table if it was ever asked for.
    virtual ~CDedupModule();
    CDedupModule(const CDedupModule&) = delete;
    CDedupModule& operator=(const CDedupModule&) = delete;

    // The module's lock count, changed with interlocked operations; each answers the new count.
    virtual LONG Lock() noexcept;
    virtual LONG Unlock() noexcept;
    virtual LONG GetLockCount() const noexcept;
    // The process's standard global interface table, made on the first call; one new reference.
    virtual HRESULT GetGITPtr(IGlobalInterfaceTable** out) noexcept;
    // Adds "APPID" = the AppID text to the replacements of a registry table.
    virtual void AddCommonRGSReplacements(registry_replacements& replacements) const;

    const wchar_t* library_id() const noexcept { return library_id_; }
    const wchar_t* app_id() const noexcept { return app_id_; }

    // Registration: the AppID's table, then each object's, below `root` with "MODULE" =
    // `module_path`; unregistration in the reverse order. The calling thread's locale is the
    // system default's meanwhile and the caller's again afterwards. S_OK, or the first failure,
    // which skips the steps after it.
    HRESULT register_server(HKEY root, const std::wstring& module_path,
                            platform::registrar::registry_calls& calls = platform::registrar::system_registry());
    HRESULT unregister_server(HKEY root, const std::wstring& module_path,
                              platform::registrar::registry_calls& calls = platform::registrar::system_registry());

private:
    registry_replacements replacements_for(const std::wstring& module_path) const;

    const wchar_t* library_id_;
    const wchar_t* app_id_;
    std::vector<platform::registrar::key_record> (*app_id_keys_)(const registry_replacements&);
    std::span<const object_entry> objects_;
    volatile LONG lock_count_ = 0;
    SRWLOCK git_lock_ = SRWLOCK_INIT; // guards only the table's creation
    IGlobalInterfaceTable* git_ = nullptr;
};

// The shell extension's module: its library id, its AppID with the AppID keys, and one object, the
// root Explorer command with its class keys.
CDedupModule& dedup_module();

} // namespace quastle
