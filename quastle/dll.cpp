// The in-process COM server's exports. Every failure crosses them as an HRESULT, never as an
// exception.

#include <quastle/command/explorer_command.h>
#include <quastle/install/install_actions.h>
#include <quastle/install/system_platform.h>
#include <quastle/self_install_callback.h>
#include <quastle/guids.h>
#include <quastle/module.h>

#include <ostrel/com/factory.h>
#include <ostrel/com/ptr.h>

#include <tavik/error.h>

#include <new>
#include <string>
#include <type_traits>

extern "C" IMAGE_DOS_HEADER __ImageBase;

// This library's errors carry only their HRESULT, never a stack trace.
static_assert(std::is_base_of_v<tavik::details::bases::empty, tavik::details::traceable_error>);

namespace {

// The module object lives from the library's load to its unload.
quastle::CDedupModule& the_module = quastle::dedup_module();

constexpr Ostrel::com::class_entry classes[] = {
    {&quastle::explorer_command_clsid, &quastle::explorer_command::create},
};

std::wstring module_path()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length =
            GetModuleFileNameW(reinterpret_cast<HMODULE>(&__ImageBase), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0)
            throw std::bad_alloc(); // not reached in practice; reported as a failure below
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

} // namespace

extern "C" {

HRESULT STDAPICALLTYPE DllCanUnloadNow()
{
    return Ostrel::com::module_count == 0 ? S_OK : S_FALSE;
}

HRESULT STDAPICALLTYPE DllGetClassObject(REFCLSID clsid, REFIID iid, void** out)
{
    if (!out)
        return E_POINTER;
    *out = nullptr;
    try {
        auto factory = Ostrel::com::make<Ostrel::com::details::Factory>(clsid, classes);
        return factory->QueryInterface(iid, out);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT STDAPICALLTYPE DllRegisterServer()
{
    try {
        return the_module.register_server(HKEY_CLASSES_ROOT, module_path());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

HRESULT STDAPICALLTYPE DllUnregisterServer()
{
    try {
        return the_module.unregister_server(HKEY_CLASSES_ROOT, module_path());
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// The installer's entry: `folder` the installation folder, `action` 0 install, 1 stop, 2 start,
// 3 uninstall. The installer's transaction (a handle) and its text are not used; the owner window
// and the flags (bit 0: silent) only by the install.
HRESULT STDAPICALLTYPE AutoInstallEx3(const wchar_t* folder, std::int32_t action, HANDLE, const wchar_t*, HWND owner,
                                      std::uint32_t flags, quastle::self_install_callback* callback)
{
    if (const HRESULT hr = quastle::install_actions::check_folder(folder); FAILED(hr))
        return hr;
    try {
        quastle::system_platform platform;
        quastle::install_actions actions(platform, folder);
        return actions.run(action, owner, flags, callback);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

} // extern "C"
