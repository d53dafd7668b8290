#include <quastle/module.h>

#include <quastle/guids.h>

#include <new>

namespace quastle {
namespace {

// The thread's locale is the system default's while registry text is written, and the caller's
// again on every way out.
class system_locale_scope {
public:
    system_locale_scope() noexcept : saved_(GetThreadLocale()) { SetThreadLocale(LOCALE_SYSTEM_DEFAULT); }
    ~system_locale_scope() { SetThreadLocale(saved_); }
    system_locale_scope(const system_locale_scope&) = delete;
    system_locale_scope& operator=(const system_locale_scope&) = delete;

private:
    LCID saved_;
};

template <class F>
HRESULT guarded(F&& f) noexcept
{
    try {
        return f();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // namespace

CDedupModule::CDedupModule(const wchar_t* library_id, const wchar_t* app_id,
                           std::vector<platform::registrar::key_record> (*app_id_keys)(const registry_replacements&),
                           std::span<const object_entry> objects) noexcept
    : library_id_(library_id), app_id_(app_id), app_id_keys_(app_id_keys), objects_(objects)
{
}

CDedupModule::~CDedupModule()
{
    if (git_)
        git_->Release();
}

LONG CDedupModule::Lock() noexcept { return InterlockedIncrement(&lock_count_); }
LONG CDedupModule::Unlock() noexcept { return InterlockedDecrement(&lock_count_); }
LONG CDedupModule::GetLockCount() const noexcept { return lock_count_; }

HRESULT CDedupModule::GetGITPtr(IGlobalInterfaceTable** out) noexcept
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    AcquireSRWLockExclusive(&git_lock_);
    HRESULT hr = S_OK;
    if (!git_)
        hr = CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER, IID_IGlobalInterfaceTable,
                              reinterpret_cast<void**>(&git_));
    if (SUCCEEDED(hr)) {
        git_->AddRef();
        *out = git_;
    }
    ReleaseSRWLockExclusive(&git_lock_);
    return hr;
}

void CDedupModule::AddCommonRGSReplacements(registry_replacements& replacements) const
{
    replacements[L"APPID"] = app_id_;
}

registry_replacements CDedupModule::replacements_for(const std::wstring& module_path) const
{
    registry_replacements replacements{{L"MODULE", module_path}};
    AddCommonRGSReplacements(replacements);
    return replacements;
}

HRESULT CDedupModule::register_server(HKEY root, const std::wstring& module_path,
                                      platform::registrar::registry_calls& calls)
{
    return guarded([&]() -> HRESULT {
        system_locale_scope locale;
        const registry_replacements replacements = replacements_for(module_path);
        if (const HRESULT hr = platform::registrar::register_keys(root, app_id_keys_(replacements), calls); FAILED(hr))
            return hr;
        for (const object_entry& object : objects_)
            if (const HRESULT hr = platform::registrar::register_keys(root, object.registry_keys(replacements), calls);
                FAILED(hr))
                return hr;
        return S_OK;
    });
}

HRESULT CDedupModule::unregister_server(HKEY root, const std::wstring& module_path,
                                        platform::registrar::registry_calls& calls)
{
    return guarded([&]() -> HRESULT {
        system_locale_scope locale;
        const registry_replacements replacements = replacements_for(module_path);
        for (const object_entry& object : objects_)
            if (const HRESULT hr = platform::registrar::unregister_keys(root, object.registry_keys(replacements), calls);
                FAILED(hr))
                return hr;
        return platform::registrar::unregister_keys(root, app_id_keys_(replacements), calls);
    });
}

namespace {

constexpr CDedupModule::object_entry object_map[] = {
    {&explorer_command_clsid, &class_keys},
};

} // namespace

CDedupModule& dedup_module()
{
    static CDedupModule module(library_id_text, app_id_text, &app_id_keys, object_map);
    return module;
}

} // namespace quastle
