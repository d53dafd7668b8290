#include <tolvane/action_queue.h>
#include <tolvane/component.h>
#include <tolvane/config_error.h>
#include <tolvane/ini_file.h>
#include <tolvane/package.h>
#include <tolvane/uninstall_entry.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <ostrel/registry_ex.h>

#include <string>

namespace {

using namespace tolvane;
using test_support::hresult_of;

constexpr HRESULT not_found = static_cast<HRESULT>(0x80070490);

struct loaded {
    ini_file_t ini;
    package pkg;
    component_t c;
    bool applies = false;

    explicit loaded(std::wstring_view text, windows_version running = make_windows_version(10, 0, 19045))
    {
        ini.parse_text(text);
        pkg.set_windows(running);
        pkg.set_property(L"INSTALLDIR", L"C:\\App\\");
        applies = c.load(pkg, nullptr, L"core", ini, running);
    }
};

TEST(Component, Entries)
{
    loaded l(LR"([Component_core]
f1=a.dll*0
f2=
f3=c.dll*1
l1=link.exe*$(INSTALLDIR)a.exe
l2=nolink
d1=$(INSTALLDIR)Data*1
d2=$(INSTALLDIR)Logs
r1=extra.rgs*1
r2=plain.rgs
sizex64=18446744073709551617
version=1.5.0.0
)");
    ASSERT_TRUE(l.applies);
    ASSERT_EQ(l.c.files.size(), 1u); // the f loop stops at the first missing entry
    EXPECT_EQ(l.c.files[0].name, L"a.dll");
    ASSERT_EQ(l.c.links.size(), 1u);
    EXPECT_EQ(l.c.links[0].link_name, L"link.exe");
    EXPECT_EQ(l.c.links[0].existing_file, L"$(INSTALLDIR)a.exe");
    ASSERT_EQ(l.c.folders.size(), 2u);
    EXPECT_TRUE(l.c.folders[0].force_removal);
    EXPECT_FALSE(l.c.folders[1].force_removal);
    ASSERT_EQ(l.c.scripts.size(), 2u);
    EXPECT_EQ(l.c.scripts[0].file_name, L"extra.rgs");
    EXPECT_EQ(l.c.scripts[1].file_name, L"plain.rgs");
    EXPECT_EQ(l.c.size, 1u); // wraps
    EXPECT_EQ(l.c.version, (std::array<std::uint32_t, 4>{1, 5, 0, 0}));
    EXPECT_EQ(l.c.install_folder_text, L"$(INSTALLDIR)");
}

TEST(Component, ApplicationIdAfterSixSkippedCharacters)
{
    loaded l(LR"([Component_core]
f1=x.dll*6*abcdef{01234567-89AB-CDEF-0123-456789ABCDEF}
)");
    ASSERT_TRUE(l.applies);
    EXPECT_EQ(l.c.files[0].flags, 6u);
    EXPECT_EQ(l.c.files[0].application_id, L"{01234567-89AB-CDEF-0123-456789ABCDEF}");

    ini_file_t ini;
    ini.parse_text(L"[Component_core]\nf1=x.dll*6*abcde\n");
    package pkg;
    component_t c;
    try {
        c.load(pkg, nullptr, L"core", ini, make_windows_version(10, 0, 19045));
        FAIL() << "a third field of five characters loads";
    } catch (const config_error& e) {
        EXPECT_EQ(e.where(), L"[Component_core] f1");
    }
}

TEST(Component, WhichMachinesItIsFor)
{
    struct os_case {
        const char* what;
        const wchar_t* keys;
        windows_version running;
        bool applies;
    };
    const auto win81 = make_windows_version(6, 3, 9600), win10 = make_windows_version(10, 0, 19045),
               win10_later = make_windows_version(10, 0, 19046), win11 = make_windows_version(10, 0, 22000);
    const os_case cases[] = {
        {"no limits", L"", win81, true},
        {"x86 platform", L"platform=x86\n", win10, false},
        {"x64 platform", L"platform=x64\n", win10, true},
        {"minosver 1000 on 8.1", L"minosver=1000\n", win81, false},
        {"minosver 1000 on 10", L"minosver=1000\n", win10, true},
        {"maxosver 603 on 10", L"maxosver=603\n", win10, false},
        {"maxosver-full at 19045", L"maxosver-full=100019045\n", win10, true},
        {"maxosver-full below 19046", L"maxosver-full=100019045\n", win10_later, false},
        {"maxosver-full below 11", L"maxosver-full=100019045\n", win11, false},
        {"minosver-full at 22000", L"minosver-full=100022000\n", win10, false},
        {"minosver-full on 11", L"minosver-full=100022000\n", win11, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        loaded l(std::wstring(L"[Component_core]\nf1=a.dll*0\n") + c.keys, c.running);
        EXPECT_EQ(l.applies, c.applies);
    }
}

TEST(Component, MissingSectionsFailTheLoad)
{
    ini_file_t ini;
    ini.parse_text(L"[Component_other]\nf1=a*0\n[Component_core]\nshortcuts=s1,s2\n[Shortcut_core_s1]\nlocation=x.lnk\n");
    package pkg;
    component_t missing, shortcut;
    EXPECT_EQ(hresult_of([&] { missing.load(pkg, nullptr, L"none", ini, pkg.windows()); }), not_found);
    EXPECT_EQ(hresult_of([&] { shortcut.load(pkg, nullptr, L"core", ini, pkg.windows()); }), not_found);
}

TEST(Component, CopiesDeletesAndSelfInstall)
{
    loaded l(LR"([Component_core]
f1=a.dll*0
f2=b64.dll*1
f3=stub.dll*272
f4=portable.ini*64
f5=fixed.ini*128
f6=shell.dll*512
l1=hard.exe*$(INSTALLDIR)a.dll
InstallDir=$(INSTALLDIR)$(ASSEMBLY)
)");
    ASSERT_TRUE(l.applies);
    ActionQueue q;
    l.c.queue_copies(q);
    l.c.queue_self_install(q, 0);
    l.c.queue_deletes(q);
    EXPECT_EQ(q.log_text(), L"Copy file Components\\core\\a.dll => C:\\App\\core\\a.dll\r\n"
                            L"Copy file Components\\core\\x64\\b64.dll => C:\\App\\core\\b64.dll\r\n"
                            L"Copy file Components\\core\\fixed.ini => C:\\App\\core\\fixed.ini\r\n"
                            L"Copy file Components\\core\\shell.dll => C:\\App\\core\\shell.dll\r\n"
                            L"Create link C:\\App\\core\\hard.exe => C:\\App\\a.dll\r\n"
                            L"Self install file Components\\core\\stub.dll, action=0\r\n"
                            L"Self install file C:\\App\\core\\shell.dll, action=0\r\n"
                            L"Remove file C:\\App\\core\\hard.exe\r\n"
                            L"Remove file C:\\App\\core\\a.dll\r\n"
                            L"Remove file C:\\App\\core\\b64.dll\r\n"
                            L"Remove file C:\\App\\core\\portable.ini\r\n"
                            L"Remove file C:\\App\\core\\fixed.ini\r\n"
                            L"Remove file C:\\App\\core\\shell.dll\r\n");
    EXPECT_EQ(l.pkg.get_property(L"ASSEMBLY", false), L"core");

    l.pkg.options().portable = true;
    ActionQueue portable;
    l.c.queue_copies(portable);
    EXPECT_EQ(portable.log_text(), L"Copy file Components\\core\\a.dll => C:\\App\\core\\a.dll\r\n"
                                   L"Copy file Components\\core\\x64\\b64.dll => C:\\App\\core\\b64.dll\r\n"
                                   L"Copy file Components\\core\\portable.ini => C:\\App\\core\\portable.ini\r\n"
                                   L"Copy file Components\\core\\shell.dll => C:\\App\\core\\shell.dll\r\n"
                                   L"Create link C:\\App\\core\\hard.exe => C:\\App\\a.dll\r\n");
}

TEST(Component, RegistrationScripts)
{
    loaded l(LR"([Component_core]
f1=shell.dll*6*abcdef{01234567-89AB-CDEF-0123-456789ABCDEF}
f2=x.dll*5
f3=plain.dll*0
r1=extra.rgs*1
)");
    ActionQueue q;
    l.c.do_register(q, true);
    l.c.do_register(q, false);
    EXPECT_EQ(q.log_text(), L"Register file Components\\core\\shell.dll.rgs\r\n"
                            L"Register file Components\\core\\x64\\x.dll.rgs\r\n"
                            L"Register file Components\\core\\extra.rgs\r\n"
                            L"Unregister file Components\\core\\shell.dll.rgs\r\n"
                            L"Unregister file Components\\core\\x64\\x.dll.rgs\r\n"
                            L"Unregister file Components\\core\\extra.rgs\r\n");
}

TEST(Component, StartMenuFolderWithoutStartMenu)
{
    loaded l(LR"([Component_core]
f1=a.lnk*0
condition=WANTED
InstallDir=$(STARTMENU)Quvan\
)");
    l.pkg.set_property(L"STARTMENU", L"C:\\Menu\\");
    ActionQueue q;
    l.c.queue_copies(q);
    EXPECT_EQ(q.log_text(), L"Copy file Components\\core\\a.lnk => C:\\Menu\\Quvan\\a.lnk\r\n");
    l.pkg.remove_property(L"STARTMENU");
    for (auto op : {+[](component_t& c, ActionQueue& q) { c.queue_copies(q); },
                    +[](component_t& c, ActionQueue& q) { c.queue_deletes(q); },
                    +[](component_t& c, ActionQueue&) { c.collect_directories(true, true); },
                    +[](component_t& c, ActionQueue& q) { c.publish(q, true); }})
        EXPECT_EQ(hresult_of([&] { op(l.c, q); }), E_INVALIDARG);
    EXPECT_EQ(q.size(), 1u);

    EXPECT_FALSE(l.c.is_applicable());
    l.pkg.set_property(L"wanted", L"1");
    EXPECT_TRUE(l.c.is_applicable());
}

TEST(Component, ShortcutsAreQueuedOnce)
{
    loaded l(LR"([Component_core]
shortcuts=s1
InstallDir=$(STARTMENU)
[Shortcut_core_s1]
location=$(NAME).lnk
target=$(INSTALLDIR)app.exe
iconindex=3x
)");
    l.pkg.set_property(L"STARTMENU", L"C:\\Menu\\");
    l.pkg.set_property(L"NAME", L"Tovalind");
    ASSERT_EQ(l.c.shortcuts.size(), 1u);
    EXPECT_EQ(l.c.shortcuts[0].iconindex, 3u);
    ActionQueue q;
    l.c.queue_shortcuts(q, true);
    l.c.queue_shortcuts(q, true); // a second feature listing the component
    l.c.queue_shortcuts(q, false);
    EXPECT_EQ(q.log_text(), L"Install shortcut $(NAME).lnk\r\n");

    loaded removal(LR"([Component_core]
shortcuts=s1
InstallDir=C:\Menu\
[Shortcut_core_s1]
location=$(NAME).lnk
)");
    removal.pkg.set_property(L"NAME", L"Tovalind");
    ActionQueue r;
    removal.c.queue_shortcuts(r, false);
    EXPECT_EQ(r.log_text(), L"Remove file C:\\Menu\\Tovalind.lnk\r\n");
}

TEST(Component, DirectoriesAndPublishing)
{
    loaded l(LR"([Component_core]
d1=$(INSTALLDIR)Data*1
d2=$(INSTALLDIR)data
version=2.1.3.4
)");
    l.c.collect_directories(false, true);
    ActionQueue q;
    l.pkg.queue_directories(q, true);
    l.pkg.queue_directories(q, false);
    EXPECT_EQ(q.log_text(), L"Creating directory C:\\App\\\r\n"
                            L"Creating directory C:\\App\\Data\r\n"
                            L"Removing directory C:\\App\\, recurse=1, freeup=0, force=0\r\n"
                            L"Removing directory C:\\App\\Data, recurse=1, freeup=0, force=1\r\n");
}

// The published Components key, and the upgrade's check against it.
class ComponentRegistry : public ::testing::Test {
protected:
    std::wstring app_id = L"TolvaneComponentTest-" + std::to_wstring(GetCurrentProcessId());
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, (uninstall_key_base + app_id).c_str()); }
};

TEST_F(ComponentRegistry, PublishedVersionDecidesTheUpgrade)
{
    loaded l(L"[Component_core]\nf1=a.dll*0\nversion=1.5.0.0\n");
    l.pkg.set_property(L"AppID", app_id);
    ActionQueue publish;
    l.c.publish(publish, true);
    EXPECT_EQ(publish.log_text(), L"Generic action: Publish component core\r\n");
    std::wstring log;
    ASSERT_EQ(publish.run(log, l.pkg, nullptr, nullptr, nullptr, true), S_OK);

    const std::wstring key = component_key_path(l.pkg, L"core");
    EXPECT_EQ(Ostrel::registry_ex::value(HKEY_CURRENT_USER, key, L"Version").get_qword(), 0x0001000500000000ull);
    EXPECT_EQ(Ostrel::registry_ex::value(HKEY_CURRENT_USER, key, L"UsageCount").get_qword(), 1u);
    EXPECT_EQ(Ostrel::registry_ex::value(HKEY_CURRENT_USER, key, L"Source").get_string(), L"");

    ActionQueue same;
    l.c.queue_copies_if_not_newer(same);
    EXPECT_EQ(same.size(), 1u);

    Ostrel::registry_ex::value(HKEY_CURRENT_USER, key, L"Version", false).set_qword(0x0002000000000000ull);
    ActionQueue older_package;
    l.c.queue_copies_if_not_newer(older_package);
    EXPECT_TRUE(older_package.empty());

    ActionQueue unpublish;
    l.c.publish(unpublish, false);
    ASSERT_EQ(unpublish.run(log, l.pkg, nullptr, nullptr, nullptr, true), S_OK);
    EXPECT_EQ(Ostrel::registry_ex::value(HKEY_CURRENT_USER, key, L"UsageCount").get_qword(), 0u);
}

} // namespace
