#include <quastle/registration.h>

#include <quastle/guids.h>

namespace quastle {
namespace {

using platform::registrar::key_record;
using platform::registrar::removal;

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

std::vector<key_record> app_id_keys()
{
    const std::wstring app_id = app_id_text;
    return {
        {L"AppID", removal::no_remove, {}},
        {L"AppID\\" + app_id, removal::remove, {{L"", L"quastle"}}},
        {L"AppID\\quastle.dll", removal::remove, {{L"AppID", app_id}}},
    };
}

std::vector<key_record> class_keys(const std::wstring& module_path)
{
    const std::wstring clsid = explorer_command_clsid_text;
    const std::wstring key = L"CLSID\\" + clsid;
    return {
        {L"CLSID", removal::no_remove, {}},
        {key, removal::force_remove, {{L"", L"ExplorerCommand class"}}},
        {key + L"\\ProgID", removal::remove, {{L"", L"quvandedup.ExplorerCommand.1"}}},
        {key + L"\\VersionIndependentProgID", removal::remove, {{L"", L"quvandedup.ExplorerCommand"}}},
        {key + L"\\InprocServer32", removal::remove, {{L"", module_path}, {L"ThreadingModel", L"Both"}}},
        {key + L"\\TypeLib", removal::remove, {{L"", library_id_text}}},
        {L"Directory", removal::no_remove, {}},
        {L"Directory\\Background", removal::no_remove, {}},
        {L"Directory\\Background\\shell", removal::no_remove, {}},
        {L"Directory\\Background\\shell\\quvandedup", removal::remove, {{L"ExplorerCommandHandler", clsid}}},
        {L"Directory\\shell", removal::no_remove, {}},
        {L"Directory\\shell\\quvandedup", removal::remove, {{L"ExplorerCommandHandler", clsid}}},
    };
}

HRESULT register_server(HKEY root, const std::wstring& module_path, platform::registrar::registry_calls& calls)
{
    return guarded([&]() -> HRESULT {
        system_locale_scope locale;
        const auto app = app_id_keys();
        if (const HRESULT hr = platform::registrar::register_keys(root, app, calls); FAILED(hr))
            return hr;
        const auto cls = class_keys(module_path);
        return platform::registrar::register_keys(root, cls, calls);
    });
}

HRESULT unregister_server(HKEY root, const std::wstring& module_path, platform::registrar::registry_calls& calls)
{
    return guarded([&]() -> HRESULT {
        system_locale_scope locale;
        const auto cls = class_keys(module_path);
        if (const HRESULT hr = platform::registrar::unregister_keys(root, cls, calls); FAILED(hr))
            return hr;
        const auto app = app_id_keys();
        return platform::registrar::unregister_keys(root, app, calls);
    });
}

} // namespace quastle
