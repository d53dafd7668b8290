#include <tolvane/action_queue.h>
#include <tolvane/package.h>
#include <tolvane/registry_tree.h>
#include <tolvane/uninstall_entry.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <platform/ktm/emulated_transactions.h>

#include <cstring>
#include <string>

namespace {

using namespace tolvane;

// Each test has an entry of its own: CTest runs the cases in parallel processes.
class UninstallEntry : public ::testing::Test {
protected:
    const std::wstring app_id = [] {
        const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        return L"{7A1C0D2E-TEST-4C55-9E0B}." + std::wstring(name, name + std::strlen(name));
    }();
    test_support::temp_folder dir;
    package pkg;
    std::wstring log;

    void SetUp() override
    {
        pkg.set_backup_folder(dir.path());
        pkg.set_property(L"AppID", app_id);
        pkg.set_property(L"INSTALLDIR", L"C:\\Apps\\Tovalind\\");
        pkg.set_property(L"LongName", L"Quvan Software Tovalind");
        pkg.set_property(L"LongCompany", L"Quvan Software");
        pkg.set_property(L"STARTMENU", L"C:\\Menu\\Tovalind");
        pkg.set_version({1, 2, 3, 4});
        clear();
    }
    void TearDown() override { clear(); }
    void clear()
    {
        for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
            const std::wstring path = std::wstring(uninstall_key_base) + app_id;
            RegDeleteTreeW(root, path.c_str());
            RegDeleteKeyW(root, path.c_str());
        }
    }
    std::wstring path() const { return std::wstring(uninstall_key_base) + app_id; }
    static std::wstring text(HKEY root, const std::wstring& path, const wchar_t* name)
    {
        wchar_t buffer[512];
        DWORD size = sizeof buffer;
        if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
            return L"<none>";
        return buffer;
    }
    static bool exists(HKEY root, const std::wstring& path) { return snapshot_key_tree(root, path).exists; }
    void write_old_entry()
    {
        HKEY k = nullptr;
        RegCreateKeyExW(HKEY_CURRENT_USER, (path() + L"\\Components\\core").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                        nullptr, &k, nullptr);
        DWORD one = 1;
        RegSetValueExW(k, L"UsageCount", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
        RegCloseKey(k);
        RegCreateKeyExW(HKEY_CURRENT_USER, path().c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr);
        RegSetValueExW(k, L"DisplayVersion", 0, REG_SZ, reinterpret_cast<const BYTE*>(L"1.00.00.0001"), 26);
        RegCloseKey(k);
    }
};

TEST_F(UninstallEntry, PublishWritesTheEntryUnderTheModesRoot)
{
    for (std::uint32_t mode : {0u, 1u}) {
        SCOPED_TRACE(mode);
        pkg.options().mode = mode;
        HKEY root = mode ? HKEY_LOCAL_MACHINE : HKEY_CURRENT_USER;
        ASSERT_EQ(publish(pkg, nullptr, nullptr), S_OK);
        EXPECT_EQ(text(root, path(), L"UninstallString"), L"\"C:\\Apps\\Tovalind\\Setup\\setup.exe\" -uninstall");
        EXPECT_EQ(text(root, path(), L"QuietUninstallString"),
                  L"\"C:\\Apps\\Tovalind\\Setup\\setup.exe\" -uninstall -silent");
        EXPECT_EQ(text(root, path(), L"DisplayVersion"), L"1.02.03.0004");
        EXPECT_EQ(text(root, path(), L"DisplayName"), L"Quvan Software Tovalind");
        EXPECT_EQ(text(root, path(), L"Quvan Setup Prop: STARTMENU"), L"C:\\Menu\\Tovalind");
        std::uint64_t packed = 0;
        DWORD size = 8;
        RegGetValueW(root, path().c_str(), L"Quvan Setup Prop: VERSION", RRF_RT_REG_QWORD, nullptr, &packed, &size);
        EXPECT_EQ(packed, 0x0001000200030004ull);
        ASSERT_EQ(unpublish(pkg, nullptr, nullptr), S_OK);
        EXPECT_FALSE(exists(root, path()));
    }
    EXPECT_EQ(unpublish(pkg, nullptr, nullptr), S_OK); // a missing entry: nothing to do
    pkg.options().portable = true;
    EXPECT_EQ(publish(pkg, nullptr, nullptr), S_OK);
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, path()));
}

// Undoing a publish over an existing entry (an update) puts the old entry back, subkeys included.
TEST_F(UninstallEntry, UndoingAPublishRestoresTheEntryThatWasThere)
{
    write_old_entry();
    ActionQueue undo;
    ASSERT_EQ(publish(pkg, &undo, nullptr), S_OK);
    EXPECT_EQ(text(HKEY_CURRENT_USER, path(), L"DisplayVersion"), L"1.02.03.0004");
    undo.run_rollback(log, pkg, nullptr);
    EXPECT_EQ(text(HKEY_CURRENT_USER, path(), L"DisplayVersion"), L"1.00.00.0001");
    EXPECT_EQ(text(HKEY_CURRENT_USER, path(), L"UninstallString"), L"<none>");
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, path() + L"\\Components\\core"));

    // A first install's publish is undone by removing the entry.
    clear();
    ActionQueue undo2;
    ASSERT_EQ(publish(pkg, &undo2, nullptr), S_OK);
    undo2.run_rollback(log, pkg, nullptr);
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, path()));
}

// Undoing an unpublish brings back the Components and Features subkeys, not only the values.
TEST_F(UninstallEntry, UndoingAnUnpublishRestoresComponentsAndFeatures)
{
    write_old_entry();
    const key_tree before = snapshot_key_tree(HKEY_CURRENT_USER, path());
    ActionQueue undo;
    ASSERT_EQ(unpublish(pkg, &undo, nullptr), S_OK);
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, path()));
    undo.run_rollback(log, pkg, nullptr);
    const key_tree after = snapshot_key_tree(HKEY_CURRENT_USER, path());
    ASSERT_TRUE(after.exists);
    EXPECT_EQ(after.values.size(), before.values.size());
    ASSERT_EQ(after.subkeys.size(), 1u);
    EXPECT_EQ(after.subkeys[0].first, L"Components");
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, path() + L"\\Components\\core"));
}

TEST_F(UninstallEntry, InsideATransactionNothingIsRecordedAndRollbackRemovesTheEntry)
{
    platform::ktm::emulated_transactions calls;
    package p(calls);
    p.set_property(L"AppID", app_id);
    HANDLE t = calls.create_transaction(L"t");
    ActionQueue undo;
    ASSERT_EQ(publish(p, &undo, t), S_OK);
    EXPECT_TRUE(undo.empty());
    EXPECT_TRUE(exists(HKEY_CURRENT_USER, path()));
    calls.close_transaction(t);
    EXPECT_FALSE(exists(HKEY_CURRENT_USER, path()));
}

} // namespace
