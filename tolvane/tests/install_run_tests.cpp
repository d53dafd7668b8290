// A whole installation run in this process: the checks before anything changes, the restore
// point, the setup log and the error box, through a platform whose answers the test gives.

#include <tolvane/command_line.h>
#include <tolvane/ini_file.h>
#include <tolvane/install_transaction.h>
#include <tolvane/package.h>
#include <tolvane/setup_platform.h>
#include <tolvane/uninstall_entry.h>

#include "test_ui.h"

#include <gtest/gtest.h>
#include <ostrel/registry_ex.h>
#include <testing/support/test_support.h>

#include <optional>
#include <string>
#include <vector>

namespace {

using namespace tolvane;
using test_support::temp_folder;

class scripted_platform : public setup_platform {
public:
    std::vector<std::wstring> boxes;
    std::vector<restore_point_info> points;
    bool restore_points = true;

    int message_box(HWND, const std::wstring& text, const std::wstring& caption, UINT) override
    {
        boxes.push_back(caption + L": " + text);
        return IDNO;
    }
    BOOL set_restore_point(const restore_point_info& info, restore_point_status& status) override
    {
        points.push_back(info);
        status.sequence = 7;
        return restore_points;
    }
    bool is_user_an_admin() override { return true; }
    BOOL exit_windows(UINT, DWORD) override { return FALSE; }
};

std::wstring log_text()
{
    auto b = test_support::read_file(setup_log_path());
    return b.size() < 2 ? std::wstring{} : std::wstring(reinterpret_cast<const wchar_t*>(b.data() + 2), (b.size() - 2) / 2);
}

// Points TEMP and TMP at a folder of this test's own while it runs, so that the setup log of one
// test process never meets another's: ctest runs these tests side by side.
class temp_override {
public:
    explicit temp_override(const std::wstring& folder)
    {
        for (const wchar_t* name : names) {
            wchar_t value[MAX_PATH + 1];
            const DWORD n = GetEnvironmentVariableW(name, value, MAX_PATH + 1);
            saved_.push_back(n > 0 && n <= MAX_PATH ? std::optional<std::wstring>(std::wstring(value, n)) : std::nullopt);
            SetEnvironmentVariableW(name, folder.c_str());
        }
    }
    ~temp_override()
    {
        for (std::size_t i = 0; i < saved_.size(); ++i)
            SetEnvironmentVariableW(names[i], saved_[i] ? saved_[i]->c_str() : nullptr);
    }
    temp_override(const temp_override&) = delete;
    temp_override& operator=(const temp_override&) = delete;

private:
    static constexpr const wchar_t* names[] = {L"TMP", L"TEMP"};
    std::vector<std::optional<std::wstring>> saved_;
};

class InstallRun : public ::testing::Test {
protected:
    temp_folder dir;
    temp_override temp{dir / L"temp"};
    scripted_platform platform;
    package pkg{platform::ktm::system_transactions(), platform};
    ini_file_t ini;
    tolvane::testing::recording_ui ui;
    std::wstring app_id = L"TolvaneRunTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());

    void SetUp() override
    {
        test_support::make_folder(dir / L"temp");
        ASSERT_EQ(setup_log_path(), dir / L"temp\\Quvan Setup Log.txt");
        test_support::make_folder(dir / L"pkg");
        for (const wchar_t* name : {L"config.ini", L"icon.png", L"setup.exe"})
            test_support::write_file(dir / (L"pkg\\" + std::wstring(name)), test_support::to_bytes("x"));
        pkg.set_package_folder(dir / L"pkg");
        pkg.set_property(L"INSTALLDIR", dir / L"app\\");
        pkg.set_property(L"LongName", L"Run Test");
        pkg.set_property(L"AppID", app_id);
        pkg.options().silent = true;
        DeleteFileW(setup_log_path().c_str());
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, (uninstall_key_base + app_id).c_str());
        DeleteFileW(setup_log_path().c_str());
    }
    void load(const std::wstring& files)
    {
        ini.parse_text(L"[General]\ncomponents=core\n[Component_core]\n" + files + L"\n[Feature_root]\ncomponents=core\n");
        pkg.build_tree(ini);
    }
    HRESULT run()
    {
        try {
            test_support::run(install_transaction(pkg, &ui));
            return S_OK;
        } catch (const tavik::details::hresult_error& e) {
            return e.code();
        }
    }
};

TEST_F(InstallRun, RefusedBeforeIncompatibleProductsAreRemoved)
{
    load(L"");
    const std::wstring other = L"TolvaneRunTestOther-" + std::to_wstring(GetCurrentProcessId());
    HKEY key;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (uninstall_key_base + other).c_str(), 0, nullptr, 0, KEY_WRITE, nullptr,
                              &key, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(key);
    pkg.set_property(L"RemoveAppIDs", other);

    struct refusal {
        const char* what;
        std::int32_t type;
        const wchar_t* folder;
    };
    const refusal cases[] = {
        {"a newer version is installed", install_type_newer_installed, nullptr},
        {"an unknown type", 9, nullptr},
        {"a relative folder", install_type_install, L"app\\"},
        {"a drive's root", install_type_install, L"C:\\"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        pkg.options().type = c.type;
        if (c.folder)
            pkg.set_property(L"INSTALLDIR", c.folder);
        EXPECT_EQ(run(), E_INVALIDARG);
        EXPECT_TRUE(platform.boxes.empty()); // the removal's question never came
        EXPECT_TRUE(platform.points.empty());
    }
    RegDeleteTreeW(HKEY_CURRENT_USER, (uninstall_key_base + other).c_str());
}

TEST_F(InstallRun, DecliningTheRemovalOfAnIncompatibleProductEndsTheRun)
{
    load(L"");
    const std::wstring other = L"TolvaneRunTestOther-" + std::to_wstring(GetCurrentProcessId()) + L"-decline";
    Ostrel::registry_ex::value(HKEY_CURRENT_USER, uninstall_key_base + other, L"DisplayName", false).set_string(L"Rival");
    Ostrel::registry_ex::value(HKEY_CURRENT_USER, uninstall_key_base + other, L"UninstallString", false)
        .set_string(L"cmd /c exit 0");
    pkg.set_property(L"RemoveAppIDs", L"," + other);
    pkg.options().type = install_type_install;
    std::int32_t code = 0;
    try {
        test_support::run(install_transaction(pkg, &ui));
    } catch (const installation_exception& e) {
        code = e.code();
    }
    EXPECT_EQ(code, 9);
    ASSERT_EQ(platform.boxes.size(), 1u);
    EXPECT_EQ(platform.boxes[0], L"Setup: Setup is incompatible with Rival product installed on your computer. It must be "
                                 L"removed before continuing. Do you want to remove it now?");
    EXPECT_TRUE(platform.points.empty()); // nothing was begun
    EXPECT_FALSE(test_support::file_exists(dir / L"app"));
    RegDeleteTreeW(HKEY_CURRENT_USER, (uninstall_key_base + other).c_str());
}

TEST_F(InstallRun, FailureCancelsTheRestorePointAndWritesTheLog)
{
    load(L"f1=missing.dll*0");
    for (bool allow_error : {false, true}) {
        SCOPED_TRACE(allow_error);
        platform.points.clear();
        platform.boxes.clear();
        pkg.options().allow_error = allow_error;
        pkg.options().type = install_type_install;
        EXPECT_EQ(run(), static_cast<HRESULT>(0x80070003));
        ASSERT_EQ(platform.points.size(), 2u);
        EXPECT_EQ(platform.points[0].event_type, 100u);
        EXPECT_EQ(platform.points[0].restore_point_type, 0u);
        EXPECT_EQ(std::wstring(platform.points[0].description), L"Installed Run Test");
        EXPECT_EQ(platform.points[1].event_type, 101u);
        EXPECT_EQ(platform.points[1].restore_point_type, 13u);
        EXPECT_EQ(platform.points[1].sequence, 7);
        const std::wstring log = log_text();
        EXPECT_NE(log.find(L"*** Restore Point \"Installed Run Test\" created\r\n"), std::wstring::npos);
        EXPECT_NE(log.find(L"*** Non-transaction rollback\r\n"), std::wstring::npos);
        EXPECT_NE(log.find(L"*** System Restore point canceled\r\n"), std::wstring::npos);
        // A silent run shows the box only when asked to.
        EXPECT_EQ(platform.boxes.size(), allow_error ? 1u : 0u);
        if (allow_error) {
            EXPECT_EQ(platform.boxes[0].find(L"Setup Error: Setup has encountered an error"), 0u);
        }
        EXPECT_FALSE(test_support::file_exists(dir / L"app"));
        EXPECT_TRUE(pkg.backup_folder().empty() || !test_support::file_exists(pkg.backup_folder()));
    }
}

TEST_F(InstallRun, SuccessCommitsTheRestorePoint)
{
    load(L"");
    pkg.options().type = install_type_install;
    ASSERT_EQ(run(), S_OK);
    ASSERT_EQ(platform.points.size(), 2u);
    EXPECT_EQ(platform.points[1].event_type, 101u);
    EXPECT_EQ(platform.points[1].restore_point_type, 0u);
    EXPECT_EQ(platform.points[1].sequence, 7);
    EXPECT_FALSE(test_support::file_exists(setup_log_path()));
    EXPECT_TRUE(test_support::file_exists(dir / L"app\\Setup\\setup.exe"));
    EXPECT_EQ(Ostrel::registry_ex::value(HKEY_CURRENT_USER, uninstall_key_base + app_id, L"DisplayName").get_string(),
              L"Run Test");
    EXPECT_TRUE(platform.boxes.empty());

    // A portable run makes no restore point.
    platform.points.clear();
    pkg.options().portable = true;
    pkg.options().type = install_type_install;
    ASSERT_EQ(run(), S_OK);
    EXPECT_TRUE(platform.points.empty());
}

} // namespace
