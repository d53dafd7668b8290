#include <tolvane/registry_script.h>

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <platform/ktm/emulated_transactions.h>
#include <platform/ktm/ktm.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tolvane;

std::string narrow(std::wstring_view w) { return std::string(w.begin(), w.end()); }

const wchar_t clsid_script[] = L"HKCR\r\n{\r\n\tNoRemove CLSID\r\n\t{\r\n"
                               L"\t\tForceRemove {6E0C5A51-0000-4F6E-9C1B-7F3A11D2C0DE} = s 'x'\r\n\t\t{\r\n"
                               L"\t\t\tInprocServer32 = s '%MODULE%'\r\n\t\t\t{\r\n"
                               L"\t\t\t\tval ThreadingModel = s 'Both'\r\n\t\t\t}\r\n\t\t}\r\n\t}\r\n}\r\n";
const wchar_t test_guid[] = L"{6E0C5A51-0000-4F6E-9C1B-7F3A11D2C0DE}";

TEST(RegistryScriptGrammar, Statements)
{
    auto keys = parse_registry_script(clsid_script);
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(keys[0].name, L"HKCR");
    EXPECT_FALSE(keys[0].kind);
    const auto& clsid = keys[0].children.at(0);
    EXPECT_EQ(clsid.kind, script_kind_no_remove);
    const auto& guid = clsid.children.at(0);
    EXPECT_EQ(guid.kind, script_kind_force_remove);
    EXPECT_EQ(guid.name, test_guid);
    ASSERT_TRUE(guid.value);
    EXPECT_EQ(guid.value->text, L"x");
    const auto& server = guid.children.at(0);
    EXPECT_EQ(server.value->text, L"%MODULE%");
    EXPECT_EQ(server.children.at(0).kind, script_kind_val);
    EXPECT_EQ(server.children.at(0).name, L"ThreadingModel");

    struct shape_case {
        const wchar_t* text;
        std::vector<std::wstring> names; // the top-level key's children, in order
        std::vector<std::wstring> values;
    };
    const shape_case cases[] = {
        {L"HKLM { valid ValidFor }", {L"id", L"ValidFor"}, {L"", L""}},          // "val" needs no separator
        {L"HKLM { a = sz 'x' }", {L"a", L"x"}, {L"s:z", L""}},                    // type s, text z, then x
        {L"HKLM { a = d 5 b = d '7' c = s text }", {L"a", L"b", L"c"}, {L"d:5", L"d:7", L"s:text"}},
        {L"HKLM { CLSID{ }", {L"CLSID{"}, {L""}},                                  // one name
        {L"HKLM { 'two words' = s 'it''s' }", {L"two words", L"s"}, {L"s:it", L""}},
        {L"HKLM{x}\r\n", {}, {}},                                                  // the name "HKLM{x}"
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.text));
        auto parsed = parse_registry_script(c.text);
        ASSERT_FALSE(parsed.empty());
        std::vector<std::wstring> names, values;
        for (const auto& k : parsed[0].children) {
            names.push_back(k.name);
            values.push_back(k.value ? (k.value->type ? L"d:" : L"s:") + k.value->text : L"");
        }
        EXPECT_EQ(names, c.names);
        EXPECT_EQ(values, c.values);
    }
}

TEST(RegistryScriptGrammar, ErrorsAreNamed)
{
    std::wstring deep = L"HKLM ";
    for (int i = 0; i < 100000; ++i)
        deep += L"a { ";
    struct error_case {
        const char* what;
        std::wstring text;
        bool expectation;
        std::wstring where;
        std::wstring expected_part;
    };
    const error_case cases[] = {
        {"empty", L"", false, L"line 1, column 1", L"a statement"},
        {"only blanks", L" \t\r\n  ", false, L"line 2, column 3", L"a statement"},
        {"text after the last statement", L"HKLM { }\r\n }", false, L"line 2, column 2", L"the end of the script"},
        {"value without type", L"HKLM {\r\n a = }", true, L"line 2, column 6", L"a value after"},
        {"value without text", L"HKLM { a = s }", true, L"line 1, column 12", L"a value after"},
        {"missing }", L"HKLM { a", true, L"line 1, column 9", L"\"}\""},
        {"unterminated quote", L"HKLM { a = s 'abc", true, L"line 1, column 18", L"found the end of the script"},
        {"above U+00FF in a quote", L"HKLM { a = s 'ab\u0100c' }", true, L"line 1, column 17", L"U+0100"},
        {"above U+00FF in a name", L"HKLM { a\u20AC }", true, L"line 1, column 9", L"U+20AC"},
        {"above U+00FF at the top", L"\u20ACHKLM { }", false, L"line 1, column 1", L"U+20AC"},
        {"UTF-8 byte-order mark", L"\uFEFFHKLM { }", false, L"line 1, column 1", L"byte-order mark"},
        {"nesting", deep, false, L"line 1, column 265", L"nested at most 64"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        try {
            parse_registry_script(c.text, L"C:\\pkg\\x.rgs");
            ADD_FAILURE() << "parsed";
        } catch (const registry_script_error& e) {
            EXPECT_EQ(e.code(), E_INVALIDARG);
            EXPECT_EQ(e.is_expectation(), c.expectation);
            EXPECT_EQ(e.file(), L"C:\\pkg\\x.rgs");
            EXPECT_EQ(e.where(), c.where);
            EXPECT_NE(e.expected().find(c.expected_part), std::wstring::npos) << narrow(e.text()) << " / " << narrow(e.where());
        }
    }
}

TEST(RegistryScriptVariables, Expansion)
{
    const std::vector<std::pair<std::wstring, std::wstring>> vars = {
        {L"module", L"C:\\App\\q.dll"}, {L"appid", L"{A}"}, {L"MODULE", L"second"}, {L"nested", L"<%x%$(appid)>"}};
    struct expand_case {
        const wchar_t* text;
        const wchar_t* expected;
    };
    const expand_case cases[] = {
        {L"%MODULE%", L"C:\\App\\q.dll"},
        {L"$(module)", L"C:\\App\\q.dll"},
        {L"AppID\\%appid%", L"AppID\\{A}"},
        {L"100%%", L"100%"},
        {L"50% off", L"50% off"},
        {L"%unknown%x", L"x"},
        {L"%nested%", L"<%x%{A}>"},
        {L"a\\\\b", L"a\\b"},
        {L"\\\\server", L"\\\\server"},
        {L"%%(", L"%("},
        {L"$(", L"{Invalid property syntax}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(narrow(c.text));
        EXPECT_EQ(expand_script_text(c.text, vars), c.expected);
    }
}

// Each test has a key of its own (CTest runs the cases of this program in parallel processes); the
// scripts name it through the variable "testkey".
class RegistryScriptRun : public ::testing::Test {
protected:
    const std::wstring key_name = L"tolvane_script_tests_" + test_name();
    const std::wstring base = L"Software\\Quvan Software\\" + key_name;
    std::vector<std::pair<std::wstring, std::wstring>> vars{
        {L"module", L"C:\\App\\q.dll"}, {L"appid", L"{APP}"}, {L"testkey", key_name}};

    static std::wstring test_name()
    {
        const char* name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
        return std::wstring(name, name + std::strlen(name));
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
        RegDeleteKeyW(HKEY_CURRENT_USER, base.c_str());
    }
    void run(const std::wstring& text, bool do_register, bool per_user = true,
             platform::ktm::transacted_calls& calls = platform::ktm::system_transactions(), HANDLE t = nullptr)
    {
        script_context c;
        c.calls = &calls;
        c.transaction = t;
        c.per_user = per_user;
        c.variables = vars;
        run_registry_script(parse_registry_script(text), do_register, c);
    }
    static bool key_exists(HKEY root, const std::wstring& path)
    {
        HKEY k = nullptr;
        if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &k) != ERROR_SUCCESS)
            return false;
        RegCloseKey(k);
        return true;
    }
    static std::wstring text_value(HKEY root, const std::wstring& path, const wchar_t* name)
    {
        wchar_t buffer[512];
        DWORD size = sizeof buffer;
        if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, buffer, &size) != ERROR_SUCCESS)
            return L"<none>";
        return buffer;
    }
    static DWORD dword_value(HKEY root, const std::wstring& path, const wchar_t* name)
    {
        DWORD v = 0xDEADBEEF, size = 4;
        RegGetValueW(root, path.c_str(), name, RRF_RT_REG_DWORD, nullptr, &v, &size);
        return v;
    }
};

TEST_F(RegistryScriptRun, ClsidExamplePerUserAndPerMachine)
{
    for (HKEY root : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE}) {
        std::wstring k = std::wstring(L"Software\\Classes\\CLSID\\") + test_guid;
        RegDeleteTreeW(root, k.c_str());
        RegDeleteKeyW(root, k.c_str());
    }
    for (bool per_user : {true, false}) {
        SCOPED_TRACE(per_user ? "per user" : "per machine");
        HKEY root = per_user ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
        const std::wstring guid = std::wstring(L"Software\\Classes\\CLSID\\") + test_guid;
        run(clsid_script, true, per_user);
        EXPECT_EQ(text_value(root, guid, nullptr), L"x");
        EXPECT_EQ(text_value(root, guid + L"\\InprocServer32", nullptr), L"C:\\App\\q.dll");
        EXPECT_EQ(text_value(root, guid + L"\\InprocServer32", L"ThreadingModel"), L"Both");
        RegSetValueExW(HKEY_CURRENT_USER, L"unused", 0, REG_SZ, nullptr, 0); // nothing else touched
        RegDeleteValueW(HKEY_CURRENT_USER, L"unused");
        run(clsid_script, false, per_user);
        EXPECT_FALSE(key_exists(root, guid));
        EXPECT_TRUE(key_exists(root, L"Software\\Classes\\CLSID"));
    }
}

TEST_F(RegistryScriptRun, ValuesVariablesAndRemoval)
{
    const std::wstring script = L"HKCU { NoRemove Software { NoRemove 'Quvan Software' { %testkey% {\r\n"
                                L"  AppID\\%appid% = s 'by %%appid%%' { val Big = d '4294967297' val Hex = d 0x10 }\r\n"
                                L"  NoRemove Kept { val Gone = s 'x' }\r\n"
                                L"} } } }";
    run(script, true);
    const std::wstring app = base + L"\\AppID\\{APP}";
    EXPECT_EQ(text_value(HKEY_CURRENT_USER, app, nullptr), L"by %appid%");
    EXPECT_EQ(dword_value(HKEY_CURRENT_USER, app, L"Big"), 1u);
    EXPECT_EQ(dword_value(HKEY_CURRENT_USER, app, L"Hex"), 0u);
    EXPECT_EQ(text_value(HKEY_CURRENT_USER, base + L"\\Kept", L"Gone"), L"x");
    run(script, false);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, app));
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, base + L"\\Kept"));
    EXPECT_EQ(text_value(HKEY_CURRENT_USER, base + L"\\Kept", L"Gone"), L"<none>");
    // The parent stays: it still holds Kept (NoRemove) and AppID, which the script names only as
    // part of "AppID\{APP}".
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, base));

    // Unregistering a NoRemove key that was never there leaves it created and empty.
    RegDeleteTreeW(HKEY_CURRENT_USER, base.c_str());
    run(L"HKCU { NoRemove Software { NoRemove 'Quvan Software' { NoRemove %testkey% } } }", false);
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, base));
}

TEST_F(RegistryScriptRun, UnknownRootsAreRefused)
{
    for (const wchar_t* text : {L"HKLM{ a", L"HKEY_USERS { a }", L"hklm { a }"}) {
        SCOPED_TRACE(narrow(text));
        try {
            run(text, true);
            ADD_FAILURE();
        } catch (const registry_script_error& e) {
            EXPECT_EQ(e.code(), E_INVALIDARG);
            EXPECT_FALSE(e.is_expectation());
            EXPECT_NE(e.where().find(L"top-level key"), std::wstring::npos);
        }
    }
}

TEST_F(RegistryScriptRun, InsideATransactionEverythingGoesBackOnRollback)
{
    platform::ktm::emulated_transactions calls;
    HANDLE t = calls.create_transaction(L"t");
    run(L"HKCU { NoRemove Software { NoRemove 'Quvan Software' { %testkey% { val V = s 'x' Sub } } } }", true,
        true, calls, t);
    EXPECT_TRUE(key_exists(HKEY_CURRENT_USER, base + L"\\Sub"));
    calls.close_transaction(t);
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, base));
}

TEST(RegistryScriptFiles, EncodingsAndEmptyFiles)
{
    test_support::temp_folder dir;
    const std::string utf8 = "HKLM { a = s 'caf\xC3\xA9' }";
    test_support::write_file(dir / L"utf8.rgs", test_support::to_bytes(utf8));
    test_support::write_file(dir / L"bom8.rgs", test_support::to_bytes("\xEF\xBB\xBF" + utf8));
    test_support::write_file(dir / L"empty.rgs", {});
    test_support::write_file(dir / L"blank16.rgs", test_support::to_bytes(std::string("\xFF\xFE \0\r\0\n\0", 8)));
    test_support::write_file(dir / L"text16.rgs", test_support::to_bytes(std::string("\xFF\xFEH\0K\0L\0M\0x", 11)));

    EXPECT_EQ(parse_registry_script(read_registry_script(dir / L"utf8.rgs"))[0].children[0].value->text, L"caf\u00E9");
    EXPECT_EQ(read_registry_script(dir / L"text16.rgs"), L"HKLM"); // the odd last byte is ignored
    for (const wchar_t* name : {L"bom8.rgs", L"empty.rgs", L"blank16.rgs"}) {
        SCOPED_TRACE(narrow(name));
        EXPECT_EQ(test_support::hresult_of([&] {
                      try {
                          parse_registry_script(read_registry_script(dir / name));
                      } catch (const registry_script_error& e) {
                          throw tavik::details::traceable_error(e.code());
                      }
                  }),
                  E_INVALIDARG);
    }
    EXPECT_EQ(test_support::hresult_of([&] {
                  try {
                      read_registry_script(dir / L"missing.rgs");
                  } catch (const config_error& e) {
                      throw tavik::details::traceable_error(e.code());
                  }
              }),
              HRESULT(0x80070002));
}

} // namespace

#include <tolvane/action_queue.h>
#include <tolvane/package.h>

namespace {

// A registration whose run fails later is unregistered by the rollback; a script that does not
// parse fails its action with E_INVALIDARG instead of escaping the queue, and the rollback still runs.
TEST_F(RegistryScriptRun, RegisterActionsAndTheirRollback)
{
    test_support::temp_folder dir;
    test_support::write_file(dir / L"good.rgs",
                             test_support::to_bytes("HKCU { NoRemove Software { NoRemove 'Quvan Software' { "
                                                    "%testkey% = s '%appid%' } } }"));
    test_support::write_file(dir / L"bad.rgs", test_support::to_bytes("HKCU { a = }"));
    test_support::make_folder(dir / L"backup");
    tolvane::package pkg;
    pkg.set_backup_folder(dir / L"backup");
    auto flags = [] { return std::uint32_t(0); };
    for (const wchar_t* second : {L"fails", L"bad.rgs"}) {
        SCOPED_TRACE(narrow(second));
        tolvane::ActionQueue q, undo;
        q.add(std::make_unique<tolvane::register_module_action>(dir / L"good.rgs", true, flags, vars));
        if (std::wstring(second) == L"fails")
            q.add(std::make_unique<tolvane::generic_action>([](tolvane::package&, tolvane::ActionQueue*, HANDLE) { return E_FAIL; },
                                                            L"fails"));
        else
            q.add(std::make_unique<tolvane::register_module_action>(dir / second, true, flags, vars));
        std::wstring log;
        const HRESULT hr = q.run(log, pkg, &undo, nullptr, nullptr, true);
        EXPECT_EQ(hr, std::wstring(second) == L"fails" ? E_FAIL : E_INVALIDARG);
        EXPECT_EQ(text_value(HKEY_CURRENT_USER, base, nullptr), L"{APP}");
        EXPECT_NE(log.find(L"Register file " + (dir / L"good.rgs") + L"\r\n"), std::wstring::npos);
        undo.run_rollback(log, pkg, nullptr);
        EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, base));
    }
}

} // namespace
