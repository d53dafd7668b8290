#include <platform/deployment/deployment.h>
#include <platform/deployment/fake_runtime.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using platform::deployment::fake_runtime;

const std::wstring name = L"Maker.Product.Sparse";
const std::wstring publisher = L"CN=Maker, O=Maker, C=LV";
const fake_runtime::package ours{name, publisher, L"Maker.Product.Sparse_1.0.0.0_neutral__8wekyb3d8bbwe"};

struct add_case {
    const char* name;
    void (*script)(fake_runtime&);
    HRESULT result;
    bool registered;
    std::vector<std::wstring> calls;
};

const std::vector<std::wstring> all_add_calls = {
    L"activate Windows.Management.Deployment.PackageManager",
    L"activate Windows.Management.Deployment.AddPackageOptions",
    L"factory Windows.Foundation.Uri",
    L"uri C:\\Program Files\\X",
    L"external C:\\Program Files\\X",
    L"factory Windows.Foundation.Uri",
    L"uri C:\\Program Files\\X\\dedup.msix",
    L"add C:\\Program Files\\X\\dedup.msix",
};

std::vector<std::wstring> first(std::size_t n) { return {all_add_calls.begin(), all_add_calls.begin() + n}; }

TEST(AddPackage, Outcomes)
{
    const add_case cases[] = {
        {"registered", [](fake_runtime&) {}, S_OK, true, all_add_calls},
        // What Wine answers for every runtime class.
        {"package manager not registered",
         [](fake_runtime& rt) { rt.missing_classes.insert(L"Windows.Management.Deployment.PackageManager"); }, E_FAIL,
         false, first(1)},
        {"options not registered",
         [](fake_runtime& rt) { rt.missing_classes.insert(L"Windows.Management.Deployment.AddPackageOptions"); }, E_FAIL,
         false, first(2)},
        {"no Uri class", [](fake_runtime& rt) { rt.missing_classes.insert(L"Windows.Foundation.Uri"); }, E_FAIL, false,
         first(3)},
        {"Uri refuses the text", [](fake_runtime& rt) { rt.create_uri_result = E_INVALIDARG; }, E_FAIL, false, first(4)},
        {"external location refused", [](fake_runtime& rt) { rt.put_external_location_result = E_INVALIDARG; }, E_FAIL,
         false, first(5)},
        {"the call fails", [](fake_runtime& rt) { rt.add_call_result = HRESULT_FROM_WIN32(ERROR_INSTALL_FAILURE); },
         E_FAIL, false, all_add_calls},
        {"the operation fails", [](fake_runtime& rt) { rt.add_status = Error; }, E_FAIL, false, all_add_calls},
        {"the operation is cancelled", [](fake_runtime& rt) { rt.add_status = Canceled; }, E_FAIL, false, all_add_calls},
        {"completed, not registered, failure code",
         [](fake_runtime& rt) {
             rt.add_registers = false;
             rt.add_extended_error = static_cast<HRESULT>(0x80073CF3);
         },
         static_cast<HRESULT>(0x80073CF3), false, all_add_calls},
        {"completed, not registered, success code",
         [](fake_runtime& rt) {
             rt.add_registers = false;
             rt.add_extended_error = S_FALSE;
         },
         S_FALSE, false, all_add_calls},
    };
    for (const add_case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_runtime rt;
        rt.added = ours;
        c.script(rt);
        EXPECT_EQ(platform::deployment::add_package(rt, L"C:\\Program Files\\X\\dedup.msix", L"C:\\Program Files\\X"),
                  c.result);
        EXPECT_EQ(rt.calls, c.calls);
        EXPECT_EQ(rt.registered.size(), c.registered ? 1u : 0u);
        // Every reference and string the layer took is given back, on every path.
        EXPECT_EQ(rt.live_objects, 0);
        EXPECT_EQ(rt.live_strings, 0);
    }
}

TEST(AddPackage, WaitsForTheOperation)
{
    fake_runtime rt;
    rt.added = ours;
    rt.polls_before_end = 5;
    EXPECT_EQ(platform::deployment::add_package(rt, L"D:\\p.msix", L"D:\\"), S_OK);
    EXPECT_EQ(rt.pauses, 5);
    EXPECT_EQ(rt.registered.size(), 1u);
}

TEST(RemovePackages, RemovesEachOfTheUsersPackagesOfThatNameAndPublisher)
{
    fake_runtime rt;
    rt.registered = {ours,
                     {name, publisher, L"Maker.Product.Sparse_1.0.1.0_neutral__8wekyb3d8bbwe"},
                     {name, L"CN=Someone Else", L"Maker.Product.Sparse_1.0.0.0_neutral__other"},
                     {L"Other.Package", publisher, L"Other.Package_1.0.0.0_neutral__8wekyb3d8bbwe"}};
    EXPECT_EQ(platform::deployment::remove_packages(rt, name, publisher), S_OK);
    EXPECT_EQ(rt.calls, (std::vector<std::wstring>{L"activate Windows.Management.Deployment.PackageManager",
                                                   L"find |" + name + L"|" + publisher, L"remove " + ours.full_name,
                                                   L"remove Maker.Product.Sparse_1.0.1.0_neutral__8wekyb3d8bbwe"}));
    ASSERT_EQ(rt.registered.size(), 2u);
    EXPECT_EQ(rt.registered[0].publisher, L"CN=Someone Else");
    EXPECT_EQ(rt.registered[1].name, L"Other.Package");
    EXPECT_EQ(rt.live_objects, 0);
    EXPECT_EQ(rt.live_strings, 0);
}

TEST(RemovePackages, Outcomes)
{
    struct remove_case {
        const char* name;
        void (*script)(fake_runtime&);
        HRESULT result;
        std::size_t left;
    };
    const remove_case cases[] = {
        {"nothing registered", [](fake_runtime& rt) { rt.registered.clear(); }, S_OK, 0},
        {"package manager not registered",
         [](fake_runtime& rt) { rt.missing_classes.insert(L"Windows.Management.Deployment.PackageManager"); }, E_FAIL, 1},
        {"the search fails", [](fake_runtime& rt) { rt.find_result = E_ACCESSDENIED; }, E_FAIL, 1},
        {"the call fails", [](fake_runtime& rt) { rt.remove_call_result = E_ACCESSDENIED; }, E_FAIL, 1},
        {"the operation fails", [](fake_runtime& rt) { rt.remove_status = Error; }, E_FAIL, 1},
    };
    for (const remove_case& c : cases) {
        SCOPED_TRACE(c.name);
        fake_runtime rt;
        rt.registered = {ours};
        c.script(rt);
        EXPECT_EQ(platform::deployment::remove_packages(rt, name, publisher), c.result);
        EXPECT_EQ(rt.registered.size(), c.left);
        EXPECT_EQ(rt.live_objects, 0);
        EXPECT_EQ(rt.live_strings, 0);
    }
}

// Wine has none of the runtime's deployment classes: activation answers class-not-registered
// (0x80040154), which both steps report as a plain failure.
TEST(SystemRuntime, MissingClassesAreAFailure)
{
    auto& rt = platform::deployment::system_runtime();
    IInspectable* instance = nullptr;
    EXPECT_EQ(rt.activate_instance(L"Windows.Management.Deployment.PackageManager", &instance), REGDB_E_CLASSNOTREG);
    EXPECT_EQ(instance, nullptr);
    EXPECT_EQ(platform::deployment::add_package(rt, L"C:\\X\\dedup.msix", L"C:\\X"), E_FAIL);
    EXPECT_EQ(platform::deployment::remove_packages(rt, name, publisher), E_FAIL);

    HSTRING text = nullptr;
    ASSERT_EQ(rt.create_string(L"round trip", &text), S_OK);
    EXPECT_EQ(rt.string_text(text), L"round trip");
    rt.delete_string(text);
}

} // namespace
