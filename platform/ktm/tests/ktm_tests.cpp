#include <platform/ktm/emulated_transactions.h>
#include <platform/ktm/ktm.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <cstring>
#include <string>

namespace {

using namespace platform::ktm;
using test_support::temp_folder;

// --- the platform's side: a transaction only when every function is there and the handle is real

HANDLE WINAPI fake_create_one(LPSECURITY_ATTRIBUTES, LPGUID, DWORD, DWORD, DWORD, DWORD, LPWSTR)
{
    return reinterpret_cast<HANDLE>(1);
}
HANDLE WINAPI fake_create_real(LPSECURITY_ATTRIBUTES, LPGUID, DWORD, DWORD, DWORD, DWORD, LPWSTR)
{
    return CreateEventW(nullptr, TRUE, FALSE, nullptr);
}
void WINAPI never_called() {}

const char* missing_name = nullptr;
FARPROC fake_create = nullptr;

FARPROC resolve_all(const wchar_t*, const char* name)
{
    if (missing_name && std::strcmp(name, missing_name) == 0)
        return nullptr;
    if (std::strcmp(name, "CreateTransaction") == 0)
        return fake_create;
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&never_called));
}

TEST(SystemTransactions, NoTransactionWithoutEveryFunctionOrARealHandle)
{
    struct resolver_case {
        const char* what;
        const char* missing;
        FARPROC create;
        bool transaction;
    };
    const resolver_case cases[] = {
        {"all there, real handle", nullptr, reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_create_real)), true},
        {"a handle that is not real (Wine's 1)", nullptr,
         reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_create_one)), false},
        {"RegDeleteKeyTransactedW missing", "RegDeleteKeyTransactedW",
         reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_create_real)), false},
        {"FindFirstFileTransactedW missing", "FindFirstFileTransactedW",
         reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&fake_create_real)), false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        missing_name = c.missing;
        fake_create = c.create;
        auto calls = make_system_transactions(resolve_all);
        HANDLE h = calls->create_transaction(L"test");
        EXPECT_EQ(h != nullptr, c.transaction);
        if (h) {
            EXPECT_TRUE(is_real_handle(h));
            calls->close_transaction(h);
        }
    }
    missing_name = nullptr;
}

TEST(SystemTransactions, ThePlatformGivesARealHandleOrNone)
{
    HANDLE h = system_transactions().create_transaction(L"Quvan Software Installation Transaction");
    if (h) {
        EXPECT_TRUE(is_real_handle(h));
        system_transactions().rollback_transaction(h);
        system_transactions().close_transaction(h);
    }
    // The untransacted calls work either way.
    temp_folder dir;
    EXPECT_TRUE(system_transactions().create_directory(dir / L"d", nullptr));
    EXPECT_NE(system_transactions().get_attributes(dir / L"d", nullptr) & FILE_ATTRIBUTE_DIRECTORY, 0u);
    EXPECT_TRUE(system_transactions().remove_directory(dir / L"d", nullptr));
}

// --- the emulation

struct file_state {
    bool exists;
    std::string content;
};

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

file_state state_of(const std::wstring& path)
{
    if (!test_support::file_exists(path))
        return {false, {}};
    auto b = test_support::read_file(path);
    return {true, std::string(reinterpret_cast<const char*>(b.data()), b.size())};
}

class EmulatedTransactions : public ::testing::Test {
protected:
    temp_folder dir;
    emulated_transactions calls;

    void SetUp() override
    {
        test_support::write_file(dir / L"kept.txt", test_support::to_bytes("old"));
        test_support::write_file(dir / L"gone.txt", test_support::to_bytes("remove me"));
        test_support::write_file(dir / L"source.txt", test_support::to_bytes("new"));
        test_support::make_folder(dir / L"empty");
    }

    // Changes every kind of thing once inside `t`.
    void change_everything(HANDLE t)
    {
        ASSERT_TRUE(calls.copy_file(dir / L"source.txt", dir / L"kept.txt", t));
        ASSERT_TRUE(calls.delete_file(dir / L"gone.txt", t));
        ASSERT_TRUE(calls.create_directory(dir / L"made", t));
        ASSERT_TRUE(calls.copy_file(dir / L"source.txt", dir / L"made\\inside.txt", t));
        ASSERT_TRUE(calls.remove_directory(dir / L"empty", t));
        ASSERT_TRUE(calls.set_attributes(dir / L"source.txt", FILE_ATTRIBUTE_READONLY, t));
    }

    void expect_before()
    {
        EXPECT_EQ(state_of(dir / L"kept.txt").content, "old");
        EXPECT_EQ(state_of(dir / L"gone.txt").content, "remove me");
        EXPECT_FALSE(exists(dir / L"made"));
        EXPECT_TRUE(exists(dir / L"empty"));
        EXPECT_EQ(GetFileAttributesW((dir / L"source.txt").c_str()) & FILE_ATTRIBUTE_READONLY, 0u);
    }
};

TEST_F(EmulatedTransactions, RollbackAndCloseWithoutCommitRestoreEveryPath)
{
    for (bool explicit_rollback : {true, false}) {
        SCOPED_TRACE(explicit_rollback ? "rollback" : "close");
        HANDLE t = calls.create_transaction(L"t");
        ASSERT_TRUE(is_real_handle(t));
        change_everything(t);
        EXPECT_EQ(state_of(dir / L"kept.txt").content, "new");
        if (explicit_rollback) {
            EXPECT_TRUE(calls.rollback_transaction(t));
        }
        calls.close_transaction(t);
        expect_before();
    }
}

TEST_F(EmulatedTransactions, CommitKeepsTheChangesAndAFailedCommitRollsBack)
{
    HANDLE t = calls.create_transaction(L"t");
    change_everything(t);
    calls.fail_commit();
    EXPECT_FALSE(calls.commit_transaction(t));
    EXPECT_EQ(GetLastError(), DWORD(error_transaction_not_active));
    calls.close_transaction(t);
    expect_before();

    calls.fail_commit(false);
    t = calls.create_transaction(L"t");
    change_everything(t);
    EXPECT_TRUE(calls.commit_transaction(t));
    calls.close_transaction(t);
    EXPECT_EQ(state_of(dir / L"kept.txt").content, "new");
    EXPECT_FALSE(test_support::file_exists(dir / L"gone.txt"));
    EXPECT_EQ(state_of(dir / L"made\\inside.txt").content, "new");
}

TEST_F(EmulatedTransactions, FailsTheNthCallWithoutDoingIt)
{
    calls.fail_call(2, ERROR_DISK_FULL);
    HANDLE t = calls.create_transaction(L"t");
    EXPECT_TRUE(calls.copy_file(dir / L"source.txt", dir / L"kept.txt", t));
    EXPECT_FALSE(calls.delete_file(dir / L"gone.txt", t));
    EXPECT_EQ(GetLastError(), DWORD(ERROR_DISK_FULL));
    EXPECT_TRUE(test_support::file_exists(dir / L"gone.txt"));
    EXPECT_TRUE(calls.delete_file(dir / L"gone.txt", t));
    EXPECT_EQ(calls.calls(), 3u);
    calls.close_transaction(t);
    expect_before();
    // Untransacted calls are neither counted nor journaled.
    EXPECT_TRUE(calls.delete_file(dir / L"gone.txt", nullptr));
    EXPECT_EQ(calls.calls(), 3u);
}

TEST_F(EmulatedTransactions, RegistryTreesComeBackWithTheirValues)
{
    const std::wstring base = L"Software\\Quvan Software\\ktm_tests";
    RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
    HKEY k = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (base + L"\\Existing\\Sub").c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &k, nullptr),
              ERROR_SUCCESS);
    DWORD one = 1;
    RegSetValueExW(k, L"Kept", 0, REG_DWORD, reinterpret_cast<BYTE*>(&one), 4);
    RegCloseKey(k);

    HANDLE t = calls.create_transaction(L"t");
    HKEY created = nullptr;
    ASSERT_EQ(calls.reg_create_key(HKEY_CURRENT_USER, base + L"\\New\\Deep", KEY_ALL_ACCESS, &created, t), ERROR_SUCCESS);
    ASSERT_EQ(calls.reg_set_value(created, L"v", REG_SZ, L"x", 2), ERROR_SUCCESS);
    RegCloseKey(created);
    HKEY existing = nullptr;
    ASSERT_EQ(calls.reg_open_key(HKEY_CURRENT_USER, base + L"\\Existing", KEY_ALL_ACCESS, &existing, t), ERROR_SUCCESS);
    ASSERT_EQ(calls.reg_delete_tree(existing), ERROR_SUCCESS);
    RegCloseKey(existing);
    ASSERT_EQ(calls.reg_delete_key(HKEY_CURRENT_USER, base + L"\\Existing", 0, t), ERROR_SUCCESS);
    calls.close_transaction(t);

    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, (base + L"\\New").c_str(), 0, KEY_READ, &k), ERROR_SUCCESS);
    DWORD value = 0, size = 4;
    EXPECT_EQ(RegGetValueW(HKEY_CURRENT_USER, (base + L"\\Existing\\Sub").c_str(), L"Kept", RRF_RT_REG_DWORD, nullptr,
                           &value, &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
    RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
    RegDeleteKeyW(HKEY_CURRENT_USER, base.c_str());
}

} // namespace
