#include <ostrel/registry_ex.h>
#include <platform/transacted_registry/transacted_registry.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace Ostrel::registry_ex;

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = L"Software\\Quvan Software\\ostrel-tests-" + std::to_wstring(GetCurrentProcessId());
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str()); }

    void raw(const wchar_t* name, DWORD type, const void* data, DWORD size)
    {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &k, nullptr),
                  ERROR_SUCCESS);
        ASSERT_EQ(RegSetValueExW(k, name, 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        RegCloseKey(k);
    }

    std::wstring path_;
};

TEST_F(Registry, StringReadsByTypeAndShape)
{
    const wchar_t nuls[] = L"abc\0\0\0";
    raw(L"nuls", REG_SZ, nuls, sizeof(nuls));
    raw(L"plain", REG_SZ, L"x", 2); // stored without its zero
    raw(L"odd", REG_SZ, L"abc", 5);
    raw(L"expand", REG_EXPAND_SZ, L"%TEMP%", 14);
    const DWORD number = 5;
    raw(L"dword", REG_DWORD, &number, 4);
    raw(L"empty", REG_SZ, L"", 0);
    struct row {
        const wchar_t* name;
        std::optional<std::wstring> expected;
    };
    for (const row& r : {row{L"nuls", L"abc"}, row{L"plain", L"x"}, row{L"odd", std::nullopt},
                         row{L"expand", std::nullopt}, row{L"dword", std::nullopt}, row{L"missing", std::nullopt},
                         row{L"empty", L""}}) {
        value v(HKEY_CURRENT_USER, path_, r.name);
        EXPECT_EQ(v.get_optional_string(), r.expected) << r.name;
    }
    value missing_key(HKEY_CURRENT_USER, path_ + L"\\absent", L"x");
    EXPECT_EQ(missing_key.get_optional_string(), std::nullopt);
    EXPECT_EQ(missing_key.get_string(L"fallback"), L"fallback");
    key absent(HKEY_CURRENT_USER, path_ + L"\\absent");
    EXPECT_FALSE(absent.exists()); // open-only reads did not create it
}

TEST_F(Registry, ReadWithoutOpenOnlyCreatesTheKey)
{
    value v(HKEY_CURRENT_USER, path_ + L"\\made", L"Anchor Color", false);
    EXPECT_EQ(v.get_string(L"0,0,255"), L"0,0,255");
    EXPECT_TRUE(key(HKEY_CURRENT_USER, path_ + L"\\made").exists());
}

TEST_F(Registry, WritesRoundTripAndStringsCountTheirZero)
{
    key k(HKEY_CURRENT_USER, path_);
    key sub = k.subkey(L"inner");
    EXPECT_EQ(sub.path(), path_ + L"\\inner");
    EXPECT_FALSE(sub.exists());
    {
        value s(sub, L"text");
        EXPECT_EQ(s.set_string(L"hello"), ERROR_SUCCESS);
        value d(sub, L"d");
        EXPECT_EQ(d.set_dword(7), ERROR_SUCCESS);
        value q(sub, L"q");
        EXPECT_EQ(q.set_qword(0x1122334455667788ull), ERROR_SUCCESS);
        // A reference that has read (key opened for reading) can still write.
        value later(sub, L"later");
        EXPECT_EQ(later.get_optional_string(), std::nullopt);
        EXPECT_EQ(later.set_string(L"x"), ERROR_SUCCESS);
    }
    EXPECT_TRUE(sub.exists());
    HKEY raw_key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, sub.path().c_str(), 0, KEY_READ, &raw_key), ERROR_SUCCESS);
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExW(raw_key, L"text", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 12u); // five characters and the zero
    RegCloseKey(raw_key);
    value s(sub, L"text"), d(sub, L"d"), q(sub, L"q"), later(sub, L"later");
    EXPECT_EQ(s.get_string(), L"hello");
    EXPECT_EQ(later.get_string(), L"x");
    EXPECT_EQ(d.get_qword(), 7u);
    EXPECT_EQ(d.get_bool(), true);
    EXPECT_EQ(q.get_qword(), 0x1122334455667788ull);
    EXPECT_EQ(q.get_bool(), std::nullopt);
    EXPECT_EQ(s.get_qword(), std::nullopt);
    // The key reference's own handle is opened for writing.
    EXPECT_EQ(RegSetValueExW(sub.handle(), L"direct", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&type), 4),
              ERROR_SUCCESS);
}

TEST_F(Registry, QwordAndBoolSizes)
{
    const std::uint32_t small = 1;
    const std::uint64_t big = 0;
    const std::uint16_t tiny = 1;
    raw(L"dword8", REG_DWORD, &big, 8);
    raw(L"qword4", REG_QWORD, &small, 4);
    raw(L"binary", REG_BINARY, &big, 8);
    raw(L"short", REG_DWORD, &tiny, 2);
    for (const wchar_t* name : {L"dword8", L"qword4", L"binary", L"short", L"missing"}) {
        value v(HKEY_CURRENT_USER, path_, name);
        EXPECT_EQ(v.get_qword(), std::nullopt) << name;
        EXPECT_EQ(v.get_bool(), std::nullopt) << name;
    }
}

TEST_F(Registry, KeyThatCannotBeCreatedRaisesItsError)
{
    // A path under HKEY_CURRENT_USER with an empty component cannot be created.
    value v(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345)), L"nowhere", L"x", false);
    EXPECT_EQ(v.get_optional_string(), std::nullopt);
    try {
        (void)v.set_dword(1);
        FAIL() << "no exception";
    } catch (const error_creating_key& e) {
        EXPECT_NE(e.error(), 0u);
        EXPECT_STREQ(e.what(), "error creating key");
    }
    key k(reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0x12345)), L"nowhere");
    EXPECT_FALSE(k.exists());
    EXPECT_THROW(k.handle(), error_creating_key);
}

TEST_F(Registry, MissingTransactedFunctionsAnswerNotImplementedInsteadOfAborting)
{
    // With a transaction the reads go through the transacted functions; where the system lacks them
    // (Wine 8) the result is empty, and writes raise error_creating_key with the call's error.
    const HANDLE fake_transaction = reinterpret_cast<HANDLE>(1);
    value v(HKEY_CURRENT_USER, path_, L"x", true, fake_transaction);
    EXPECT_EQ(v.get_optional_string(), std::nullopt);
    key k(HKEY_CURRENT_USER, path_, fake_transaction);
    EXPECT_FALSE(k.exists());
    HKEY h = nullptr;
    const LSTATUS status = platform::registry::open_key_transacted(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, &h,
                                                                   fake_transaction);
    if (h)
        RegCloseKey(h);
    EXPECT_NE(status, ERROR_SUCCESS);
    EXPECT_NE(platform::registry::delete_key_transacted(HKEY_CURRENT_USER, path_.c_str(), 0, fake_transaction),
              ERROR_SUCCESS);
}

} // namespace
