#include <platform/registrar/registrar.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace platform::registrar;

// The real registry, failing the N-th call (counting from 1) with ERROR_ACCESS_DENIED.
class failing_at : public registry_calls {
public:
    explicit failing_at(int n) : fail_at_(n) {}
    int calls = 0;

    LSTATUS create_key(HKEY root, const std::wstring& path, HKEY* key) override
    {
        return next() ? registry_calls::create_key(root, path, key) : ERROR_ACCESS_DENIED;
    }
    LSTATUS open_key(HKEY root, const std::wstring& path, HKEY* key) override
    {
        return next() ? registry_calls::open_key(root, path, key) : ERROR_ACCESS_DENIED;
    }
    LSTATUS set_string(HKEY key, const std::wstring& name, const std::wstring& data) override
    {
        return next() ? registry_calls::set_string(key, name, data) : ERROR_ACCESS_DENIED;
    }
    LSTATUS subkey_count(HKEY key, DWORD* count) override
    {
        return next() ? registry_calls::subkey_count(key, count) : ERROR_ACCESS_DENIED;
    }
    LSTATUS delete_tree(HKEY root, const std::wstring& path) override
    {
        return next() ? registry_calls::delete_tree(root, path) : ERROR_ACCESS_DENIED;
    }
    LSTATUS delete_key(HKEY root, const std::wstring& path) override
    {
        return next() ? registry_calls::delete_key(root, path) : ERROR_ACCESS_DENIED;
    }

private:
    bool next() { return ++calls != fail_at_; }
    int fail_at_;
};

class registrar : public ::testing::Test {
protected:
    void SetUp() override
    {
        path_ = L"Software\\registrar tests " + std::to_wstring(GetCurrentProcessId());
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &root_,
                                  nullptr),
                  ERROR_SUCCESS);
    }
    void TearDown() override
    {
        RegCloseKey(root_);
        RegDeleteTreeW(HKEY_CURRENT_USER, path_.c_str());
    }
    bool exists(const std::wstring& key) const
    {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root_, key.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
            return false;
        RegCloseKey(k);
        return true;
    }
    void create(const std::wstring& key) const
    {
        HKEY k = nullptr;
        ASSERT_EQ(RegCreateKeyExW(root_, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &k, nullptr), ERROR_SUCCESS);
        RegCloseKey(k);
    }

    const std::vector<key_record> table = {
        {L"Kept", removal::no_remove, {}},
        {L"Kept\\Class", removal::force_remove, {{L"", L"class"}}},
        {L"Kept\\Class\\Server", removal::remove, {{L"", L"C:\\a b\\x.dll"}, {L"Model", L"Both"}}},
        {L"Kept\\Verb", removal::remove, {{L"Handler", L"{x}"}}},
    };
    std::wstring path_;
    HKEY root_ = nullptr;
};

TEST_F(registrar, StraySubkeysDecideWhatStays)
{
    create(L"Kept\\Verb\\Theirs");
    ASSERT_EQ(register_keys(root_, table), S_OK);
    create(L"Kept\\Class\\Stray");
    EXPECT_TRUE(exists(L"Kept\\Class\\Server"));

    ASSERT_EQ(unregister_keys(root_, table), S_OK);
    // The ForceRemove class goes with its stray subkey; a key holding someone else's subkey stays.
    EXPECT_FALSE(exists(L"Kept\\Class"));
    EXPECT_TRUE(exists(L"Kept\\Verb\\Theirs"));
    EXPECT_TRUE(exists(L"Kept"));
    // Missing keys are no failure.
    EXPECT_EQ(unregister_keys(root_, table), S_OK);
    EXPECT_TRUE(exists(L"Kept\\Verb\\Theirs"));
}

TEST_F(registrar, ForceRemoveReplacesTheSubtree)
{
    ASSERT_EQ(register_keys(root_, table), S_OK);
    create(L"Kept\\Class\\Stray");
    ASSERT_EQ(register_keys(root_, table), S_OK);
    EXPECT_FALSE(exists(L"Kept\\Class\\Stray"));
    EXPECT_TRUE(exists(L"Kept\\Class\\Server"));
}

TEST_F(registrar, FailureAtEachCallStopsWithItsCode)
{
    // Every call of a registration, then of an unregistration, fails once in turn.
    failing_at counting(0);
    ASSERT_EQ(register_keys(root_, table, counting), S_OK);
    const int register_calls = counting.calls;
    counting.calls = 0;
    ASSERT_EQ(unregister_keys(root_, table, counting), S_OK);
    const int unregister_calls = counting.calls;
    ASSERT_GT(register_calls, 5);
    ASSERT_GT(unregister_calls, 3);

    for (int n = 1; n <= register_calls; ++n) {
        failing_at failing(n);
        EXPECT_EQ(register_keys(root_, table, failing), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)) << "call " << n;
        // Calls after the failure are not made.
        EXPECT_EQ(failing.calls, n);
        ASSERT_EQ(register_keys(root_, table), S_OK);
        failing_at failing_removal(std::min(n, unregister_calls));
        EXPECT_EQ(unregister_keys(root_, table, failing_removal), HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED));
        ASSERT_EQ(unregister_keys(root_, table), S_OK);
        EXPECT_FALSE(exists(L"Kept\\Class"));
    }
}

} // namespace
