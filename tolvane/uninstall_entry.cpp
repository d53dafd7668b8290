#include <tolvane/uninstall_entry.h>

#include <platform/ktm/ktm.h>
#include <tavik/error.h>
#include <tolvane/action_queue.h>
#include <tolvane/package.h>
#include <tolvane/properties.h>
#include <tolvane/registry_tree.h>

namespace tolvane {

namespace {

// Puts the entry back as it was before this run touched it.
std::unique_ptr<action> restore_action(HKEY root, std::wstring path, key_tree before, const wchar_t* name)
{
    return std::make_unique<generic_action>(
        [root, path = std::move(path), before = std::move(before)](package& pkg, ActionQueue*, HANDLE transaction) {
            return restore_key_tree(pkg.calls(), root, path, before, transaction) ? S_OK : E_FAIL;
        },
        name);
}

} // namespace

HKEY uninstall_root(const package& pkg)
{
    return pkg.options().mode == 1 ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
}

std::wstring uninstall_key_path(const package& pkg)
{
    return uninstall_key_base + pkg.get_property(L"AppID", true);
}

std::uint64_t pack_version(const std::array<std::uint32_t, 4>& v) noexcept
{
    return (std::uint64_t(v[0] & 0xFFFF) << 48) | (std::uint64_t(v[1] & 0xFFFF) << 32) | (std::uint64_t(v[2] & 0xFFFF) << 16)
           | std::uint64_t(v[3] & 0xFFFF);
}

HRESULT publish(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    if (pkg.is_portable())
        return S_OK;
    const HKEY root = uninstall_root(pkg);
    const std::wstring path = uninstall_key_path(pkg);
    key_tree before;
    const bool record = !transaction && undo;
    if (record)
        before = snapshot_key_tree(root, path);

    HKEY key = nullptr;
    if (LSTATUS s = pkg.calls().reg_create_key(root, path, KEY_READ | KEY_WRITE, &key, transaction); s != ERROR_SUCCESS)
        return tavik::details::hresult_from_win32(s);
    auto text = [&](const wchar_t* name, const std::wstring& value) {
        pkg.calls().reg_set_value(key, name, REG_SZ, value.data(), static_cast<DWORD>(value.size() * sizeof(wchar_t)));
    };
    auto dword = [&](const wchar_t* name, std::uint32_t value) { pkg.calls().reg_set_value(key, name, REG_DWORD, &value, 4); };
    const auto& v = pkg.version();
    text(L"UninstallString", pkg.expand(L"\"$(INSTALLDIR)Setup\\setup.exe\" -uninstall", true));
    text(L"QuietUninstallString", pkg.expand(L"\"$(INSTALLDIR)Setup\\setup.exe\" -uninstall -silent", true));
    text(L"ModifyPath", pkg.expand(L"\"$(INSTALLDIR)Setup\\setup.exe\"", true));
    text(L"InstallLocation", pkg.get_property(L"INSTALLDIR", true));
    text(L"DisplayName", pkg.get_property(L"LongName", true));
    text(L"DisplayIcon", pkg.get_property(L"DisplayIcon", true));
    text(L"DisplayVersion", format_version_text(v[0], v[1], v[2], v[3]));
    text(L"URLInfoAbout", pkg.get_property(L"URLInfoAbout", true));
    dword(L"NoRepair", 1);
    dword(L"VersionMajor", v[0]);
    dword(L"VersionMinor", v[1]);
    text(L"Publisher", pkg.get_property(L"LongCompany", true));
    text(L"Quvan Setup Prop: INSTALLDIR", pkg.get_property(L"INSTALLDIR", true));
    text(L"Quvan Setup Prop: STARTMENU", pkg.get_property(L"STARTMENU", true));
    const std::uint64_t packed = pack_version(v);
    pkg.calls().reg_set_value(key, L"Quvan Setup Prop: VERSION", REG_QWORD, &packed, 8);
    RegCloseKey(key);

    if (record)
        undo->add(restore_action(root, path, std::move(before), L"Unpublish application"));
    return S_OK;
}

HRESULT unpublish(package& pkg, ActionQueue* undo, HANDLE transaction)
{
    if (pkg.is_portable())
        return S_OK;
    const HKEY root = uninstall_root(pkg);
    const std::wstring path = uninstall_key_path(pkg);
    const bool record = !transaction && undo;
    key_tree before;
    if (record)
        before = snapshot_key_tree(root, path);
    delete_registry_tree(pkg.calls(), root, path, transaction);
    if (record && before.exists)
        undo->add(restore_action(root, path, std::move(before), L"Publish application"));
    return S_OK;
}

} // namespace tolvane
