#pragma once
// A scripted IShellItemArray for the command tests: its count, and which of the shell calls the
// commands make fail.

#include <ostrel/com/object.h>
#include <ostrel/com/ptr.h>

#include <shobjidl.h>

#include <cstring>
#include <string>

namespace quastle::testing {

struct shell_items_script {
    std::wstring path;
    DWORD count = 1;
    bool count_fails = false;
    bool item_fails = false;
    bool name_fails = false;
};

class fake_shell_item : public Ostrel::com::details::object<fake_shell_item, IShellItem> {
public:
    explicit fake_shell_item(shell_items_script script) : script_(std::move(script)) {}
    HRESULT STDMETHODCALLTYPE BindToHandler(IBindCtx*, REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetParent(IShellItem**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetDisplayName(SIGDN kind, LPWSTR* name) override
    {
        *name = nullptr;
        if (script_.name_fails || kind != SIGDN_FILESYSPATH)
            return E_FAIL;
        const std::size_t bytes = (script_.path.size() + 1) * sizeof(wchar_t);
        *name = static_cast<LPWSTR>(CoTaskMemAlloc(bytes));
        std::memcpy(*name, script_.path.c_str(), bytes);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes(SFGAOF, SFGAOF*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Compare(IShellItem*, SICHINTF, int*) override { return E_NOTIMPL; }

private:
    shell_items_script script_;
};

class fake_shell_items : public Ostrel::com::details::object<fake_shell_items, IShellItemArray> {
public:
    explicit fake_shell_items(shell_items_script script) : script_(std::move(script)) {}
    HRESULT STDMETHODCALLTYPE BindToHandler(IBindCtx*, REFGUID, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyStore(GETPROPERTYSTOREFLAGS, REFIID, void**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetPropertyDescriptionList(REFPROPERTYKEY, REFIID, void**) override
    {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetAttributes(SIATTRIBFLAGS, SFGAOF, SFGAOF*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetCount(DWORD* count) override
    {
        *count = script_.count;
        return script_.count_fails ? E_FAIL : S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetItemAt(DWORD index, IShellItem** item) override
    {
        *item = nullptr;
        if (script_.item_fails || index >= script_.count)
            return E_FAIL;
        *item = Ostrel::com::make<fake_shell_item>(script_).detach();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE EnumItems(IEnumShellItems**) override { return E_NOTIMPL; }

private:
    shell_items_script script_;
};

inline Ostrel::com::ptr<IShellItemArray> make_items(shell_items_script script)
{
    return Ostrel::com::make<fake_shell_items>(std::move(script));
}

} // namespace quastle::testing
