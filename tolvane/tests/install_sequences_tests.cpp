#include <tolvane/install_sequences.h>
#include <tolvane/ini_file.h>
#include <tolvane/package.h>
#include <tolvane/package_source.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tolvane;

// root: base (no GUID, always there)
//   app {..1}: app (file with script, self-installed service, shortcut), its child plugin {..3}
//   docs {..2}: docs (a folder of its own, start menu link)
const wchar_t package_ini[] = LR"([General]
components=base,app,plugin,docs,menu
[Component_base]
f1=base.dll*0
[Component_app]
f1=app.exe*0
f2=shell.dll*518*abcdef{01234567-89AB-CDEF-0123-456789ABCDEF}
shortcuts=s1
version=2.0.0.0
[Shortcut_app_s1]
location=App.lnk
target=$(INSTALLDIR)app.exe
[Component_plugin]
f1=plugin.dll*0
condition=PLUGINS
[Component_docs]
f1=manual.pdf*0
d1=$(INSTALLDIR)Docs*1
[Component_menu]
InstallDir=$(STARTMENU)
shortcuts=m1
[Shortcut_menu_m1]
location=Manual.lnk
[Feature_root]
components=base
children=app,docs
[Feature_app]
id={AAAAAAAA-0000-0000-0000-000000000001}
components=app
children=plugin
conditions=PLUGINS
[Feature_plugin]
id={AAAAAAAA-0000-0000-0000-000000000003}
components=plugin
[Feature_docs]
id={AAAAAAAA-0000-0000-0000-000000000002}
components=docs,menu
startmenu=1
)";

GUID feature_guid(int n) { return GUID{0xAAAAAAAA, 0, 0, {0, 0, 0, 0, 0, 0, 0, static_cast<unsigned char>(n)}}; }
const GUID source_id{0x11111111, 0x2222, 0x3333, {0x44, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

struct sequence {
    ini_file_t ini;
    package pkg;
    queue_init init;
    sequence(std::uint32_t type, const char* installed, const char* selected) // app plugin docs
    {
        pkg.add_source(std::make_unique<package_source>(source_id, L"D:\\pkg", true, tavik::details::cancellation_source{}));
        pkg.set_package_folder(L"D:\\pkg");
        ini.parse_text(package_ini);
        pkg.build_tree(ini);
        pkg.set_property(L"INSTALLDIR", L"C:\\App\\");
        pkg.set_property(L"STARTMENU", L"C:\\Menu\\");
        pkg.set_property(L"PLUGINS", L"1");
        pkg.set_property(L"LongName", L"Tovalind");
        const int order[] = {1, 3, 2};
        for (int i = 0; i < 3; ++i) {
            feature_t* f = pkg.find_feature(feature_guid(order[i]));
            f->installed = installed[i] == '1';
            f->selected = selected[i] == '1';
        }
        pkg.options().type = static_cast<std::int32_t>(type);
        pkg.prepare_run();
        init_queue(pkg, type, init);
    }
    std::wstring text() const { return init.main.log_text(); }
};

#define SETUP_FILES(verb, arrow)                                                                                        \
    verb L"D:\\pkg\\config.ini" arrow L"C:\\App\\\\Setup\\config.ini\r\n" verb L"D:\\pkg\\icon.png" arrow               \
         L"C:\\App\\\\Setup\\icon.png\r\n" verb L"D:\\pkg\\setup.exe" arrow L"C:\\App\\\\Setup\\setup.exe\r\n" verb      \
         L"D:\\pkg\\{11111111-2222-3333-4444-555555555555}.7z" arrow                                                    \
         L"C:\\App\\\\Setup\\{11111111-2222-3333-4444-555555555555}.7z\r\n"

TEST(InstallSequences, Install)
{
    sequence s(1, "000", "101"); // app and docs chosen, the plugin not: its condition goes
    EXPECT_EQ(s.init.restore_point_type, 0u);
    EXPECT_EQ(s.init.restore_point_description, L"Installed Tovalind");
    EXPECT_EQ(s.pkg.get_property(L"PLUGINS", false), L"1"); // app is chosen: its condition stays
    EXPECT_EQ(s.text(),
              L"Creating directory C:\\App\\\r\n"
              L"Creating directory C:\\App\\Docs\r\n"
              L"Creating directory C:\\App\\Setup\r\n"
              L"Creating directory C:\\Menu\\\r\n"
              L"Copy file Components\\base\\base.dll => C:\\App\\base.dll\r\n"
              L"Copy file Components\\app\\app.exe => C:\\App\\app.exe\r\n"
              L"Copy file Components\\app\\shell.dll => C:\\App\\shell.dll\r\n"
              L"Copy file Components\\docs\\manual.pdf => C:\\App\\manual.pdf\r\n" SETUP_FILES(L"Copy file ", L" => ")
                  L"Emptying delayed queue\r\n"
                  L"Register file Components\\app\\shell.dll.rgs\r\n"
                  L"Self install file C:\\App\\shell.dll, action=0\r\n"
                  L"Install shortcut App.lnk\r\n"
                  L"Install shortcut Manual.lnk\r\n"
                  L"Generic action: Publish application\r\n"
                  L"Generic action: Publish component base\r\n"
                  L"Generic action: Publish component app\r\n"
                  L"Generic action: Publish component docs\r\n"
                  L"Generic action: Publish component menu\r\n"
                  L"Generic action: Publish feature app\r\n"
                  L"Generic action: Publish feature docs\r\n");
}

TEST(InstallSequences, InstallWithoutTheStartMenuFeature)
{
    // docs governs the start menu: unchosen, STARTMENU goes and the menu component is passed over.
    // The unchosen app takes its chosen child with it, and its condition PLUGINS is dropped.
    sequence s(1, "000", "010");
    EXPECT_EQ(s.pkg.get_property(L"STARTMENU", true), L"");
    EXPECT_EQ(s.pkg.get_property(L"PLUGINS", true), L"");
    EXPECT_EQ(s.text(), L"Creating directory C:\\App\\\r\n"
                        L"Creating directory C:\\App\\Setup\r\n"
                        L"Copy file Components\\base\\base.dll => C:\\App\\base.dll\r\n" SETUP_FILES(L"Copy file ", L" => ")
                            L"Emptying delayed queue\r\n"
                            L"Generic action: Publish application\r\n"
                            L"Generic action: Publish component base\r\n");
}

TEST(InstallSequences, Upgrade)
{
    sequence s(2, "101", "000"); // an upgrade selects what was installed
    EXPECT_EQ(s.init.restore_point_type, 12u);
    EXPECT_EQ(s.init.restore_point_description, L"Upgraded Tovalind");
    EXPECT_EQ(s.text(),
              L"Self install file C:\\App\\shell.dll, action=1\r\n"
              L"Copy file Components\\base\\base.dll => C:\\App\\base.dll\r\n"
              L"Copy file Components\\app\\app.exe => C:\\App\\app.exe\r\n"
              L"Copy file Components\\app\\shell.dll => C:\\App\\shell.dll\r\n"
              L"Copy file Components\\docs\\manual.pdf => C:\\App\\manual.pdf\r\n" SETUP_FILES(L"Copy file ", L" => ")
                  L"Emptying delayed queue\r\n"
                  L"Self install file C:\\App\\shell.dll, action=2\r\n"
                  L"Generic action: Publish application\r\n"
                  L"Generic action: Publish component base\r\n"
                  L"Generic action: Publish component app\r\n"
                  L"Generic action: Publish component docs\r\n"
                  L"Generic action: Publish component menu\r\n"
                  L"Generic action: Publish feature app\r\n"
                  L"Generic action: Publish feature docs\r\n");
}

TEST(InstallSequences, UpdateRemovesBeforeItAdds)
{
    sequence s(3, "100", "011"); // app goes, the plugin and docs come
    EXPECT_EQ(s.init.restore_point_description, L"Updated Tovalind");
    EXPECT_EQ(s.text(),
              L"Remove file C:\\App\\App.lnk\r\n"
              L"Self install file C:\\App\\shell.dll, action=3\r\n"
              L"Unregister file Components\\app\\shell.dll.rgs\r\n"
              L"Remove file C:\\App\\base.dll\r\n"
              L"Remove file C:\\App\\app.exe\r\n"
              L"Remove file C:\\App\\shell.dll\r\n"
              L"Creating directory C:\\App\\\r\n"
              L"Creating directory C:\\App\\Docs\r\n"
              L"Creating directory C:\\Menu\\\r\n"
              L"Copy file Components\\base\\base.dll => C:\\App\\base.dll\r\n"
              L"Copy file Components\\plugin\\plugin.dll => C:\\App\\plugin.dll\r\n"
              L"Copy file Components\\docs\\manual.pdf => C:\\App\\manual.pdf\r\n"
              L"Emptying delayed queue\r\n"
              L"Install shortcut Manual.lnk\r\n"
              L"Generic action: Publish application\r\n"
              L"Generic action: Publish component base\r\n"
              L"Generic action: Publish component plugin\r\n"
              L"Generic action: Publish component docs\r\n"
              L"Generic action: Publish component menu\r\n"
              L"Generic action: Publish feature plugin\r\n"
              L"Generic action: Publish feature docs\r\n"
              L"Generic action: Publish component base\r\n"
              L"Generic action: Publish component app\r\n"
              L"Generic action: Publish feature app\r\n");
}

TEST(InstallSequences, Uninstall)
{
    sequence s(4, "111", "111"); // an uninstall chooses nothing
    EXPECT_EQ(s.init.restore_point_type, 1u);
    EXPECT_EQ(s.init.restore_point_description, L"Removed Tovalind");
    EXPECT_EQ(s.text(),
              L"Remove file C:\\App\\App.lnk\r\n"
              L"Remove file C:\\Menu\\Manual.lnk\r\n"
              L"Self install file C:\\App\\shell.dll, action=3\r\n"
              L"Unregister file Components\\app\\shell.dll.rgs\r\n"
              L"Remove file C:\\App\\base.dll\r\n"
              L"Remove file C:\\App\\app.exe\r\n"
              L"Remove file C:\\App\\shell.dll\r\n"
              L"Remove file C:\\App\\plugin.dll\r\n"
              L"Remove file C:\\App\\manual.pdf\r\n"
              L"Remove file C:\\App\\\\Setup\\config.ini\r\n"
              L"Remove file C:\\App\\\\Setup\\icon.png\r\n"
              L"Remove file C:\\App\\\\Setup\\setup.exe\r\n"
              L"Remove file C:\\App\\\\Setup\\{11111111-2222-3333-4444-555555555555}.7z\r\n"
              L"Emptying delayed queue\r\n"
              L"Removing directory C:\\App\\Docs, recurse=1, freeup=0, force=1\r\n"
              L"Removing directory C:\\App\\, recurse=1, freeup=1, force=0\r\n"
              L"Removing directory C:\\Menu\\, recurse=1, freeup=1, force=0\r\n"
              L"Generic action: Unpublish application\r\n");
}

} // namespace
