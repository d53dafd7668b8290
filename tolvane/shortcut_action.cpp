#include <tolvane/shortcut_action.h>

#include <objbase.h>
#include <objidl.h>
#include <propkey.h>
#include <propsys.h>
#include <shobjidl.h>

#include <tavik/error.h>
#include <tolvane/command_line.h>
#include <tolvane/guid.h>
#include <tolvane/package.h>

namespace tolvane {

namespace {

template <typename T> struct com_ptr {
    T* p = nullptr;
    ~com_ptr()
    {
        if (p)
            p->Release();
    }
    T* operator->() const noexcept { return p; }
    void** put() noexcept { return reinterpret_cast<void**>(&p); }
};

// {9F4C2855-9F79-4B39-A8D0-E1D42DE1D5F3}: the application-model property set of a link.
constexpr GUID app_user_model_format{0x9F4C2855, 0x9F79, 0x4B39, {0xA8, 0xD0, 0xE1, 0xD4, 0x2D, 0xE1, 0xD5, 0xF3}};
constexpr PROPERTYKEY exclude_from_show_in_new_install{app_user_model_format, 8};
constexpr PROPERTYKEY start_pin_option{app_user_model_format, 12};

std::wstring join(const std::wstring& folder, const std::wstring& name)
{
    if (folder.empty() || folder.back() == L'\\')
        return folder + name;
    return folder + L"\\" + name;
}

} // namespace

HRESULT write_shortcut(const shortcut_record& record, const package& pkg, const std::wstring& path)
{
    try {
        com_ptr<IShellLinkW> link;
        if (HRESULT hr = CoCreateInstance(CLSID_ShellLink, nullptr, CLSCTX_ALL, IID_IShellLinkW, link.put()); FAILED(hr))
            return hr;
        // The setters' results are not looked at: a link with an odd icon or folder still works.
        link->SetPath(pkg.expand(record.target, true).c_str());
        link->SetDescription(pkg.expand(record.description, true).c_str());
        link->SetArguments(pkg.expand(record.arguments, true).c_str());
        link->SetIconLocation(pkg.expand(record.iconfile, true).c_str(), static_cast<int>(record.iconindex));
        link->SetWorkingDirectory(pkg.expand(record.workingdir, true).c_str());
        if (record.advertise != L"yes") {
            com_ptr<IPropertyStore> store;
            if (SUCCEEDED(link->QueryInterface(IID_IPropertyStore, store.put()))) {
                PROPVARIANT v{};
                v.vt = VT_BOOL;
                v.boolVal = VARIANT_TRUE;
                store->SetValue(exclude_from_show_in_new_install, v);
                if (pkg.windows().version > 601) {
                    PROPVARIANT pin{};
                    pin.vt = VT_UI4;
                    pin.ulVal = 1;
                    store->SetValue(start_pin_option, pin);
                }
                store->Commit();
            }
        }
        com_ptr<IPersistFile> file;
        if (FAILED(link->QueryInterface(IID_IPersistFile, file.put())) || !file.p)
            return E_NOINTERFACE;
        return file->Save(path.c_str(), FALSE);
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code();
    }
}

HRESULT install_shortcut_action::execute(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    if (pkg.is_portable())
        return S_OK;
    const std::wstring target = join(folder_, pkg.expand(record_->location, true));
    if (!transaction) {
        if (HRESULT hr = write_shortcut(*record_, pkg, target); FAILED(hr))
            return hr;
        if (undo)
            undo->add(std::make_unique<remove_file_action>(target));
        return S_OK;
    }
    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    const std::wstring staged = join(std::wstring(temp, n), new_guid_text());
    if (HRESULT hr = write_shortcut(*record_, pkg, staged); FAILED(hr))
        return hr;
    const BOOL copied = pkg.calls().copy_file(staged, target, transaction);
    const HRESULT hr = copied ? S_OK : last_error_hresult();
    // The staged file is ours alone; a failure to delete it only leaves a stray file in the temporary folder.
    DeleteFileW(staged.c_str());
    return hr;
}

} // namespace tolvane
