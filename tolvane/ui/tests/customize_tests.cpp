// The customize dialog over a package tree: the folder check as a table (drive types seamed), the
// mode swap of the default folders, feature checks, feature sets, the modify form's OK, browsing.

#include "window_host.h"

#include <tolvane/feature.h>
#include <tolvane/ini_file.h>
#include <tolvane/ui/customize_dialog.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <thread>

namespace {

using namespace ui_tests;
using namespace tolvane;

const wchar_t tree_ini[] = LR"([General]
components=base,app
featuresets=1
[Component_base]
sizex64=1048576
[Component_app]
sizex64=1000
[Feature_root]
components=base
children=app,tools
[Feature_app]
id={AAAAAAAA-0000-0000-0000-000000000001}
description=The application
selected=1
components=app
children=shell,docs
[Feature_shell]
id={AAAAAAAA-0000-0000-0000-000000000002}
description=Shell
selected=1
[Feature_docs]
id={AAAAAAAA-0000-0000-0000-000000000003}
description=Docs
selected=1
[Feature_tools]
id={AAAAAAAA-0000-0000-0000-000000000004}
description=Tools
required=1
selected=1
[FeatureSet_1]
name=Minimal
disable={AAAAAAAA-0000-0000-0000-000000000002}
)";

GUID feature_guid(int n)
{
    return GUID{0xAAAAAAAA, 0, 0, {0, 0, 0, 0, 0, 0, 0, static_cast<unsigned char>(n)}};
}

struct tree_package {
    ini_file_t ini;
    package pkg;
    tree_package()
    {
        ini.parse_text(tree_ini);
        pkg.build_tree(ini);
        pkg.properties().set(L"INSTALLDIR_USER", L"C:\\Users\\u\\AppData\\Local\\Dedup\\");
        pkg.properties().set(L"INSTALLDIR_MACHINE", L"C:\\Program Files\\Dedup\\");
        pkg.properties().set(L"INSTALLDIR", L"C:\\Users\\u\\AppData\\Local\\Dedup\\");
    }
    feature_t& f(int n) { return *pkg.find_feature(feature_guid(n)); }
};

// The dialog on a thread of its own, found by its title.
struct running_dialog {
    std::thread thread;
    std::atomic<INT_PTR> result{-99};
    HWND window = nullptr;
    running_dialog(package& pkg, bool install_form, customize_hooks hooks = {})
    {
        if (!hooks.is_user_admin)
            hooks.is_user_admin = [] { return false; };
        if (!hooks.drive_type)
            hooks.drive_type = [](const std::wstring&) { return UINT(DRIVE_FIXED); };
        thread = std::thread([this, &pkg, install_form, hooks] {
            customize_dialog dialog(pkg, install_form, 1.0f, hooks);
            result = dialog.run(nullptr);
        });
        wait_until([this] { return (window = find_shown_dialog(L"Customize Installation")) != nullptr; });
    }
    ~running_dialog()
    {
        if (result == -99 && window)
            PostMessageW(window, WM_COMMAND, IDCANCEL, 0);
        thread.join();
    }
    INT_PTR finish()
    {
        wait_until([this] { return result != -99; });
        return result;
    }
    HWND item(int id) const { return GetDlgItem(window, id); }
    std::wstring text(int id) const { return window_text(item(id)); }
    void set_folder(const std::wstring& text) { SendMessageW(item(1005), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str())); }
    bool ok_enabled() const { return IsWindowEnabled(item(IDOK)) != FALSE; }
    void click(int id) { SendMessageW(item(id), BM_CLICK, 0, 0); }
    int image_of(feature_t& f) const
    {
        TVITEMW tv{};
        tv.mask = TVIF_IMAGE;
        tv.hItem = f.tree_item;
        SendMessageW(item(1007), TVM_GETITEMW, 0, reinterpret_cast<LPARAM>(&tv));
        return tv.iImage;
    }
    // The space bar on the item, as the user would press it.
    void toggle(feature_t& f)
    {
        HWND tree = item(1007);
        SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(f.tree_item));
        NMTVKEYDOWN key{};
        key.hdr.hwndFrom = tree;
        key.hdr.idFrom = 1007;
        key.hdr.code = TVN_KEYDOWN;
        key.wVKey = VK_SPACE;
        SendMessageW(window, WM_NOTIFY, 1007, reinterpret_cast<LPARAM>(&key));
    }
};

} // namespace

TEST(InstallFolder, AcceptsOnlyFoldersItCanInstallTo)
{
    package pkg;
    std::map<wchar_t, UINT> drives = {{L'C', DRIVE_FIXED}, {L'D', DRIVE_CDROM}, {L'E', DRIVE_REMOVABLE}, {L'N', DRIVE_REMOTE}};
    auto drive_type = [&](const std::wstring& root) {
        EXPECT_EQ(root.size(), 3u);
        auto it = drives.find(static_cast<wchar_t>(towupper(root[0])));
        return it == drives.end() ? UINT(DRIVE_NO_ROOT_DIR) : it->second;
    };
    const std::pair<const wchar_t*, bool> cases[] = {
        {L"C:\\", false},          {L"C:\\a", true},           {L"C:\\\\a", false},
        {L"\\\\server\\share", true}, {L"C:\\a*", false},       {L"C:\\a?b", false},
        {L"D:\\Setup", false},     {L"E:\\Stick", false},      {L"N:\\Mapped", true},
        {L"C:a\\b", false},        {L"abc", false},            {L"C:\\a\\b\\", true},
        {L"C:\\a\\\\b", false},    {L"relative\\x", false},    {L"C:\\a|b", false},
        {L"C:\\a\\", true},
    };
    for (const auto& [text, accepted] : cases)
        EXPECT_EQ(acceptable_install_folder(text, pkg, drive_type), accepted) << std::wstring(text).c_str();
    pkg.properties().set(L"AllowRemovable", L"1");
    EXPECT_TRUE(acceptable_install_folder(L"E:\\Stick", pkg, drive_type));
}

TEST(CustomizeDialog, InstallFormSwapsDefaultFoldersAndWritesFolderAndModeOnOk)
{
    tree_package t;
    t.pkg.options().portable = true;
    running_dialog d(t.pkg, true);
    ASSERT_TRUE(d.window);
    EXPECT_EQ(d.text(1005), L"C:\\Users\\u\\AppData\\Local\\Dedup");
    EXPECT_EQ(IsDlgButtonChecked(d.window, 1003), BST_CHECKED);
    HWND sets = d.item(1015);
    ASSERT_EQ(SendMessageW(sets, CB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(SendMessageW(sets, CB_GETITEMDATA, 0, 0), 0);
    EXPECT_EQ(SendMessageW(sets, CB_GETITEMDATA, 1, 0), -2);
    EXPECT_EQ(d.text(1013), L"Total space required: 1.00 MB");

    d.click(1002);
    EXPECT_EQ(d.text(1005), L"C:\\Program Files\\Dedup");
    d.click(1001);
    EXPECT_EQ(d.text(1005), L"C:\\Users\\u\\AppData\\Local\\Dedup");
    // A folder the user typed stays.
    d.set_folder(L"C:\\Mine");
    d.click(1002);
    EXPECT_EQ(d.text(1005), L"C:\\Mine");

    d.set_folder(L"C:\\");
    EXPECT_FALSE(d.ok_enabled());
    d.set_folder(L"C:\\Apps\\Dedup");
    EXPECT_TRUE(d.ok_enabled());
    PostMessageW(d.window, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(d.finish(), IDOK);
    EXPECT_EQ(t.pkg.get_property(L"INSTALLDIR", false), L"C:\\Apps\\Dedup\\");
    EXPECT_EQ(t.pkg.options().mode, 1u);
    EXPECT_FALSE(t.pkg.options().portable);
}

TEST(CustomizeDialog, ChecksFollowTheTreeRulesAndFeatureSetsSwitchToCustom)
{
    tree_package t;
    running_dialog d(t.pkg, true);
    ASSERT_TRUE(d.window);
    feature_t &app = t.f(1), &shell = t.f(2), &docs = t.f(3), &tools = t.f(4);
    EXPECT_EQ(d.image_of(app), 1);
    EXPECT_EQ(d.image_of(tools), 3);

    d.toggle(app);
    EXPECT_FALSE(app.selected);
    EXPECT_FALSE(shell.selected);
    EXPECT_FALSE(docs.selected);
    EXPECT_EQ(d.image_of(shell), 0);
    EXPECT_EQ(d.text(1013), L"Total space required: 1.00 MB");
    EXPECT_EQ(SendMessageW(d.item(1015), CB_GETCURSEL, 0, 0), 1); // "Custom"
    d.toggle(docs);
    EXPECT_TRUE(docs.selected);
    EXPECT_TRUE(app.selected); // the parent follows
    EXPECT_FALSE(shell.selected);
    EXPECT_EQ(d.image_of(app), 1);
    d.toggle(tools);
    EXPECT_TRUE(tools.selected);
    EXPECT_EQ(d.image_of(tools), 3);

    // "Minimal": defaults, then the set's features off.
    SendMessageW(d.item(1015), CB_SETCURSEL, 0, 0);
    SendMessageW(d.window, WM_COMMAND, MAKEWPARAM(1015, CBN_SELCHANGE), reinterpret_cast<LPARAM>(d.item(1015)));
    EXPECT_TRUE(app.selected);
    EXPECT_FALSE(shell.selected);
    EXPECT_TRUE(docs.selected);
    EXPECT_EQ(d.image_of(shell), 0);

    // The tree does not collapse.
    HWND tree = d.item(1007);
    EXPECT_TRUE(SendMessageW(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(app.tree_item), TVIS_EXPANDED) & TVIS_EXPANDED);
    for (UINT action : {UINT(TVE_COLLAPSE), UINT(TVE_EXPAND)}) {
        NMTREEVIEWW expanding{};
        expanding.hdr.hwndFrom = tree;
        expanding.hdr.idFrom = 1007;
        expanding.hdr.code = TVN_ITEMEXPANDINGW;
        expanding.action = action;
        expanding.itemNew.hItem = app.tree_item;
        SendMessageW(d.window, WM_NOTIFY, 1007, reinterpret_cast<LPARAM>(&expanding));
        EXPECT_EQ(GetWindowLongPtrW(d.window, DWLP_MSGRESULT), action == TVE_COLLAPSE ? TRUE : FALSE);
    }

    // Cancel keeps the feature changes, writes nothing else.
    PostMessageW(d.window, WM_CLOSE, 0, 0);
    EXPECT_EQ(d.finish(), IDCANCEL);
    EXPECT_FALSE(shell.selected);
    EXPECT_EQ(t.pkg.get_property(L"INSTALLDIR", false), L"C:\\Users\\u\\AppData\\Local\\Dedup\\");
}

TEST(CustomizeDialog, ModifyFormEnablesUpdateOnlyWhileTheSelectionDiffers)
{
    tree_package t;
    t.pkg.options().type = install_type_update;
    t.pkg.root_feature()->for_each([](feature_t& f) { f.installed = f.selected; });
    running_dialog d(t.pkg, false);
    ASSERT_TRUE(d.window);
    EXPECT_FALSE(d.ok_enabled());
    d.toggle(t.f(3));
    EXPECT_TRUE(d.ok_enabled());
    d.toggle(t.f(3));
    EXPECT_FALSE(d.ok_enabled());
    d.toggle(t.f(2));
    PostMessageW(d.window, WM_COMMAND, IDOK, 0);
    EXPECT_EQ(d.finish(), IDOK);
    EXPECT_FALSE(t.f(2).selected);
}

TEST(CustomizeDialog, BrowsePutsThePickedFolderIntoTheEdit)
{
    tree_package t;
    customize_hooks hooks;
    std::atomic<int> picks{0};
    hooks.pick_folder = [&](HWND, const std::wstring& start) {
        EXPECT_EQ(start, L"C:\\Users\\u\\AppData\\Local\\Dedup");
        ++picks;
        return std::wstring(L"C:\\Picked");
    };
    running_dialog d(t.pkg, true, hooks);
    ASSERT_TRUE(d.window);
    PostMessageW(d.window, WM_COMMAND, 1006, 0);
    ASSERT_TRUE(wait_until([&] { return d.text(1005) == L"C:\\Picked"; }));
    EXPECT_TRUE(d.ok_enabled());
    EXPECT_EQ(picks, 1);
}
