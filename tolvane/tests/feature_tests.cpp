#include <tolvane/action_queue.h>
#include <tolvane/component.h>
#include <tolvane/feature.h>
#include <tolvane/guid.h>
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

// root (components base) -> app {A..1} (selected, startmenu; components app) -> shell {A..2}
//                                                                            -> docs {A..3} (default=0)
//                        -> tools {A..4} (required; no selection) -> cli {A..5} (selected)
//                                                                 -> sdk {A..6}
//                        -> extras {A..7} (addifmissing, conditions EXTRA,OTHER)
// "nameless" has no id and is left out; "broken" has a malformed id.
const wchar_t tree_ini[] = LR"([General]
components=base,app,gone,shell
featuresets=2
[Component_base]
sizex64=1048576
[Component_app]
sizex64=1000
[Component_gone]
platform=x86
[Component_shell]
sizex64=24
[Feature_root]
description=Everything
components=base,missing
children=app,tools,extras,nameless,broken
[Feature_app]
id={AAAAAAAA-0000-0000-0000-000000000001}
description=The application
selected=1
startmenu=1
components=app,gone
children=shell,docs
[Feature_shell]
id={aaaaaaaa-0000-0000-0000-000000000002}
selected=1
components=shell
[Feature_docs]
id={AAAAAAAA-0000-0000-0000-000000000003}
selected=1
default=0
[Feature_tools]
id={AAAAAAAA-0000-0000-0000-000000000004}
required=1
children=cli,sdk
[Feature_cli]
id={AAAAAAAA-0000-0000-0000-000000000005}
selected=1
[Feature_sdk]
id={AAAAAAAA-0000-0000-0000-000000000006}
[Feature_extras]
id={AAAAAAAA-0000-0000-0000-000000000007}
addifmissing=1
conditions=EXTRA,OTHER
[Feature_nameless]
description=no id
[Feature_broken]
id={AAAAAAAA-0000-0000-0000-00000000000}
[FeatureSet_1]
name=Minimal
description=Only what is needed
disable={AAAAAAAA-0000-0000-0000-000000000002},{BBBBBBBB-0000-0000-0000-000000000000},{AAAAAAAA-0000-0000-0000-000000000005}
[FeatureSet_2]
name=Full
)";

GUID feature_guid(int n)
{
    GUID g{0xAAAAAAAA, 0, 0, {0, 0, 0, 0, 0, 0, 0, static_cast<unsigned char>(n)}};
    return g;
}

struct tree {
    ini_file_t ini;
    package pkg;
    explicit tree(std::wstring_view text = tree_ini)
    {
        ini.parse_text(text);
        pkg.build_tree(ini);
    }
    feature_t& f(int n) { return *pkg.find_feature(feature_guid(n)); }
    feature_t& root() { return *pkg.root_feature(); }
    // "1" per selected feature in pre-order below the root, "0" per unselected.
    std::string selection()
    {
        std::string out;
        for (auto& child : root().children)
            child->for_each([&](feature_t& f) { out += f.selected ? '1' : '0'; });
        return out;
    }
};

TEST(Feature, GuidTexts)
{
    struct guid_case {
        const wchar_t* text;
        bool valid;
    };
    const guid_case cases[] = {
        {L"{01234567-89AB-CDEF-0123-456789ABCDEF}", true},
        {L"{01234567-89ab-cdef-0123-456789abcdef}", true},
        {L"{01234567-89AB-CDEF-0123-456789ABCDEF} ", false},
        {L"01234567-89AB-CDEF-0123-456789ABCDEF", false},
        {L"{01234567-89AB-CDEF-0123-456789ABCDEG}", false},
        {L"{01234567-89AB-CDEF-012-3456789ABCDEF0}", false},
        {L"{01234567+89AB-CDEF-0123-456789ABCDEF}", false},
        {L"", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.text, c.text + wcslen(c.text)));
        const GUID g = parse_guid(c.text);
        EXPECT_EQ(!is_null_guid(g), c.valid);
        if (c.valid) {
            EXPECT_EQ(guid_to_string(g), L"{01234567-89AB-CDEF-0123-456789ABCDEF}");
        }
    }
}

TEST(Feature, TreeFromTheSections)
{
    tree t;
    feature_t& root = t.root();
    EXPECT_TRUE(root.required && root.selected && root.default_selected);
    ASSERT_EQ(root.components.size(), 1u); // "missing" is not a component of the package
    ASSERT_EQ(root.children.size(), 4u);   // "nameless" has no id
    EXPECT_EQ(root.children[0]->id, L"app");
    EXPECT_EQ(root.children[0]->components.size(), 1u); // "gone" does not apply (x86)
    EXPECT_EQ(root.children[0]->parent, &root);
    EXPECT_TRUE(t.f(1).startmenu);
    EXPECT_EQ(t.f(7).conditions, (std::vector<std::wstring>{L"EXTRA", L"OTHER"}));

    feature_t& broken = *root.children[3];
    EXPECT_EQ(broken.id, L"broken");
    EXPECT_TRUE(is_null_guid(broken.guid));
    EXPECT_TRUE(broken.required && broken.selected); // behaves like the root

    EXPECT_EQ(t.selection(), "11101001"); // app shell docs tools cli sdk extras broken
}

TEST(Feature, MissingSectionsFailTheLoad)
{
    const std::wstring full = tree_ini;
    struct missing_case {
        const char* what;
        const wchar_t* cut; // a line whose removal breaks the package
    };
    const missing_case cases[] = {
        {"feature set 2", L"[FeatureSet_2]\nname=Full\n"},
        {"a child's section", L"[Feature_sdk]\nid={AAAAAAAA-0000-0000-0000-000000000006}\n"},
        {"the root", L"[Feature_root]\n"},
        {"[General]", L"[General]\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::wstring text = full;
        const std::size_t at = text.find(c.cut);
        ASSERT_NE(at, std::wstring::npos);
        text.erase(at, wcslen(c.cut));
        ini_file_t ini;
        ini.parse_text(text);
        package pkg;
        EXPECT_EQ(hresult_of([&] { pkg.build_tree(ini); }), not_found);
    }
}

TEST(Feature, Checking)
{
    struct check_case {
        const char* what;
        int feature;
        int state;
        bool with_children;
        const char* before; // app shell docs tools cli sdk extras broken
        const char* after;
    };
    const check_case cases[] = {
        {"a leaf checks its ancestors", 3, 1, true, "00000000", "10100000"},
        {"a parent unchecks its subtree only", 1, 0, true, "11110001", "00010001"},
        {"checking a checked feature reaches no child", 1, 1, true, "10010001", "10010001"},
        {"toggling a checked feature", 2, -1, false, "11110001", "10110001"},
        {"a required feature keeps its value", 4, 0, true, "00011101", "00010001"},
        {"toggling a required feature toggles each child", 4, -1, true, "00011001", "00010101"},
        {"toggling a required feature checks a child", 4, -1, true, "00010001", "00011101"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        tree t;
        std::size_t i = 0;
        for (auto& child : t.root().children)
            child->for_each([&](feature_t& f) { f.selected = c.before[i++] == '1'; });
        t.f(c.feature).set_checked(c.state, c.with_children);
        EXPECT_EQ(t.selection(), c.after);
    }
}

TEST(Feature, ResetAndFeatureSets)
{
    tree t;
    for (auto& child : t.root().children)
        child->for_each([](feature_t& f) { f.selected = false; });
    t.root().reset_selection();
    EXPECT_EQ(t.selection(), "11001001"); // docs resets to default=0, required tools to its default (0)

    tree sets;
    ASSERT_EQ(sets.pkg.feature_sets().size(), 2u);
    EXPECT_EQ(sets.pkg.feature_sets()[0], (std::pair<std::wstring, std::wstring>{L"Minimal", L"Only what is needed"}));
    ASSERT_EQ(sets.pkg.feature_set_list()[0].disable.size(), 2u); // the unknown GUID is left out
    sets.pkg.apply_feature_set(0);
    EXPECT_EQ(sets.selection(), "10100001");
}

TEST(Feature, SelectionTravelsByGuid)
{
    tree from, to;
    from.f(2).selected = false;
    from.f(6).selected = true;
    std::vector<feature_selection> records;
    from.root().collect_selection(records);
    ASSERT_EQ(records.size(), 7u); // neither the root nor the malformed id
    const GUID app = feature_guid(1), tools = feature_guid(4);
    EXPECT_EQ(std::memcmp(&records[0].id, &app, sizeof(GUID)), 0);
    EXPECT_EQ(std::memcmp(&records[3].id, &tools, sizeof(GUID)), 0);

    records.erase(records.begin() + 2); // docs keeps its own value
    to.f(3).selected = false;
    to.root().apply_selection(records);
    EXPECT_EQ(to.selection(), "10001101");
}

TEST(Feature, SpaceRequired)
{
    tree t;
    EXPECT_EQ(t.root().space_required(), 1048576u + 1000u + 24u); // app and shell selected
    t.f(2).selected = false;
    EXPECT_EQ(t.f(1).space_required(), 1000u);
    t.f(1).selected = false;
    EXPECT_EQ(t.root().space_required(), 1048576u); // a deselected child adds nothing
    EXPECT_EQ(t.root().description_text(), L"Everything\r\n\r\nSpace required: 1.00 MB");
    EXPECT_EQ(t.f(6).description_text(), L"");

    struct size_case {
        std::int64_t n;
        const wchar_t* text;
    };
    const size_case sizes[] = {
        {0, L"0 bytes"},
        {1023, L"1,023 bytes"},
        {1024, L"1.00 KB"},
        {1048575, L"1,024.00 KB"},
        {1048576, L"1.00 MB"},
        {1073741823, L"1,024.00 MB"},
        {1073741824, L"1.00 GB"},
    };
    for (const auto& s : sizes)
        EXPECT_EQ(format_byte_size(s.n), s.text);
}

TEST(Feature, RunTypesAndTheStartMenuFeature)
{
    tree t;
    t.root().for_each([](feature_t& f) { f.installed = true; });
    t.f(2).installed = false;
    t.pkg.options().type = install_type_upgrade;
    t.pkg.prepare_run();
    EXPECT_EQ(t.selection(), "10111111");
    bool any_installed = false;
    t.root().for_each([&](feature_t& f) { any_installed |= f.installed; });
    EXPECT_FALSE(any_installed);

    t.pkg.options().type = install_type_uninstall;
    t.pkg.prepare_run();
    EXPECT_EQ(t.selection(), "00000000");

    t.pkg.set_property(L"STARTMENU", L"C:\\Menu\\");
    t.f(1).selected = true;
    t.pkg.apply_start_menu_feature();
    EXPECT_EQ(t.pkg.get_property(L"STARTMENU", true), L"C:\\Menu\\");
    t.f(1).selected = false;
    t.pkg.apply_start_menu_feature();
    EXPECT_EQ(t.pkg.get_property(L"STARTMENU", true), L"");

    t.pkg.set_property(L"STARTMENU", L"C:\\Menu\\");
    t.pkg.options().type = install_type_install;
    t.pkg.options().portable = true;
    t.pkg.prepare_run();
    EXPECT_EQ(t.pkg.get_property(L"STARTMENU", true), L"");
}

class FeatureRegistry : public ::testing::Test {
protected:
    std::wstring app_id = L"TolvaneFeatureTest-" + std::to_wstring(GetCurrentProcessId());
    std::wstring product = uninstall_key_base + app_id;
    void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, product.c_str()); }
    void state(int n, DWORD type, const void* data, DWORD size)
    {
        HKEY key;
        ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, (product + L"\\Features\\" + guid_to_string(feature_guid(n))).c_str(), 0,
                                  nullptr, 0, KEY_WRITE, nullptr, &key, nullptr),
                  ERROR_SUCCESS);
        if (data)
            RegSetValueExW(key, L"CurrentState", 0, type, static_cast<const BYTE*>(data), size);
        RegCloseKey(key);
    }
};

TEST_F(FeatureRegistry, InstalledStates)
{
    const DWORD one = 1, zero = 0;
    const std::uint64_t wide = 1;
    state(1, REG_DWORD, &one, 4);
    state(2, REG_DWORD, &zero, 4);
    state(3, REG_QWORD, &wide, 8); // not a DWORD: not installed
    state(4, REG_DWORD, &one, 4);
    state(5, REG_DWORD, nullptr, 0); // key without the value
    // sdk (6) and extras (7) are unknown to the installation.

    for (bool addifmissing : {false, true}) {
        SCOPED_TRACE(addifmissing);
        tree t;
        t.f(6).selected = true;
        t.root().read_installed_state(HKEY_CURRENT_USER, product, addifmissing);
        std::string installed;
        for (auto& child : t.root().children)
            child->for_each([&](feature_t& f) { installed += f.installed ? '1' : '0'; });
        EXPECT_EQ(installed, addifmissing ? "10010010" : "10010000");
        EXPECT_EQ(t.selection(), "10010101"); // unknown features keep their configured selection
    }
}

TEST_F(FeatureRegistry, PublishWritesTheStateAtRunTime)
{
    tree t;
    t.pkg.set_property(L"AppID", app_id);
    ActionQueue q;
    t.f(1).publish(q);
    t.root().publish(q); // the root has no GUID: nothing
    t.f(2).publish(q);
    EXPECT_EQ(q.log_text(), L"Generic action: Publish feature app\r\nGeneric action: Publish feature shell\r\n");
    t.f(2).selected = false; // changed after queueing: the run writes what holds then
    std::wstring log;
    ASSERT_EQ(q.run(log, t.pkg, nullptr, nullptr, nullptr, true), S_OK);

    tree read;
    read.root().read_installed_state(HKEY_CURRENT_USER, product, false);
    EXPECT_TRUE(read.f(1).installed);
    EXPECT_FALSE(read.f(2).installed);
}

} // namespace
