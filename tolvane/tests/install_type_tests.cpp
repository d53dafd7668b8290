#include <tolvane/action_queue.h>
#include <tolvane/install_type.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <string>

namespace {

using namespace tolvane;

TEST(InstallType, VersionTexts)
{
    struct version_case {
        const wchar_t* text;
        version_parts expected;
    };
    const version_case cases[] = {
        {L"3.1.0.0", {3, 1, 0, 0}},
        {L"03.01.02.0004", {3, 1, 2, 4}},
        {L"4294967295.0.0.1", {4294967295u, 0, 0, 1}},
        {L"3.2.1", {0, 0, 0, 3}},           // not the dotted form: the number 3
        {L"3.2.1.0.", {0, 0, 0, 3}},
        {L"4294967296.0.0.0", {0, 0, 0, 0}},   // overflow fails the dotted form; the leading number wraps to 0
        {L"4294967297", {0, 0, 0, 1}},
        {L"1020300045", {10, 20, 30, 45}},
        {L"", {0, 0, 0, 0}},
        {L"x", {0, 0, 0, 0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.text + wcslen(c.text)));
        EXPECT_EQ(parse_version_text(c.text), c.expected);
    }
    EXPECT_EQ(unpack_version(0x0001000200030004ull), (version_parts{1, 2, 3, 4}));
}

TEST(InstallType, FromTheInstalledVersion)
{
    const version_parts package{3, 1, 2, 0};
    struct type_case {
        const char* what;
        std::int32_t type;
        version_parts previous;
        const wchar_t* allow;
        bool prevented;
        std::int32_t expected;
    };
    const type_case cases[] = {
        {"same version", 1, {3, 1, 2, 0}, L"", false, 3},
        {"same version, uninstall", 4, {3, 1, 2, 0}, L"", false, 4},
        {"newer installed", 1, {3, 1, 3, 0}, L"", false, 0},
        {"newer installed, uninstall asked", 4, {4, 0, 0, 0}, L"", false, 0},
        {"older, same major and minor", 1, {3, 1, 0, 9}, L"", false, 2},
        {"older, other minor", 1, {3, 0, 9, 9}, L"", false, 5},
        {"older, uninstall", 4, {3, 0, 0, 0}, L"", false, 4},
        {"below AllowUpgradeOn", 1, {3, 0, 5, 0}, L"3.1.0.0", false, 5},
        {"from AllowUpgradeOn", 1, {3, 1, 0, 0}, L"3.1.0.0", false, 2},
        {"from AllowUpgradeOn, prevented", 1, {3, 1, 1, 0}, L"3.1.0.0", true, 5},
        {"never installed (0.0.0.0)", 1, {0, 0, 0, 0}, L"", false, 5},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(decide_install_type(c.type, c.previous, package, c.allow, c.prevented), c.expected);
    }
    HANDLE m = CreateMutexW(nullptr, FALSE, L"tolvane_tests_upgrade_prevention");
    EXPECT_TRUE(upgrade_prevented(L"tolvane_tests_upgrade_prevention"));
    CloseHandle(m);
    EXPECT_FALSE(upgrade_prevented(L"tolvane_tests_upgrade_prevention"));
    EXPECT_FALSE(upgrade_prevented(L""));
}

TEST(InstallType, RequiredWindows)
{
    const auto win10 = make_windows_version(10, 0, 19045);
    const auto win7 = make_windows_version(6, 1, 7601);
    struct os_case {
        const wchar_t* version;
        const wchar_t* build;
        const windows_version& running;
        bool too_old;
    };
    const os_case cases[] = {
        {L"1000", L"22000", win10, true},
        {L"1000", L"19045", win10, false},
        {L"603", L"99999", win10, false}, // a requirement below 10.0 never looks at the build
        {L"603", L"", win7, true},
        {L"", L"", win7, false},
        {L"10x", L"", win7, false},       // not a whole number, and its leading number is below 1000
        {L"1000x", L"22000", win10, true},
        {L"abc", L"22000", win10, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.version, c.version + wcslen(c.version)));
        EXPECT_EQ(windows_too_old(c.version, c.build, c.running), c.too_old);
    }
}

TEST(InstallType, DirectorySet)
{
    test_support::temp_folder dir;
    directory_set set;
    set.add(L"C:\\App\\Data", false, true);
    set.add(L"c:\\app\\data", false, false);
    set.add(L"C:\\App", false, false);
    set.add(L"C:\\App\\Data\\Sub", false, false);
    set.add(dir.path(), true, false); // exists: not added
    ASSERT_EQ(set.size(), 3u);
    EXPECT_TRUE(set.folders().at(L"C:\\APP\\DATA"));
    ActionQueue create, remove;
    set.queue(create, true);
    set.queue(remove, false);
    EXPECT_EQ(create.log_text(), L"Creating directory C:\\App\r\nCreating directory C:\\App\\Data\r\n"
                                 L"Creating directory C:\\App\\Data\\Sub\r\n");
    EXPECT_EQ(remove.log_text(), L"Removing directory C:\\App, recurse=1, freeup=0, force=0\r\n"
                                 L"Removing directory C:\\App\\Data, recurse=1, freeup=0, force=1\r\n"
                                 L"Removing directory C:\\App\\Data\\Sub, recurse=1, freeup=0, force=0\r\n");
}

} // namespace
