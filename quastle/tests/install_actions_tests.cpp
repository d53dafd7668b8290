#include <quastle/install/install_actions.h>
#include <quastle/install/sparse_package.h>

#include <platform/deployment/fake_runtime.h>
#include <testing/support/failing_allocator.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace quastle;
using namespace std::chrono_literals;

// Records every platform call as one line and answers from its script.
struct recording_platform : install_platform {
    bool projfs = true;
    bool confirm = true;
    bool win11 = false;
    HRESULT run_result = S_OK;
    HRESULT add_result = S_OK;
    HRESULT remove_result = S_OK;
    HRESULT create_result = S_OK;
    HRESULT stop_result = S_OK;
    HRESULT delete_result = S_OK;
    std::vector<std::wstring> calls;

    bool projfs_present() override { return projfs; }
    bool confirm_enable_projfs(HWND) override
    {
        calls.push_back(L"ask");
        return confirm;
    }
    std::wstring system_directory() override { return L"C:\\windows\\system32"; }
    HRESULT run_and_wait(const std::wstring& application, const std::wstring& command_line) override
    {
        calls.push_back(L"run " + application + L" | " + command_line);
        return run_result;
    }
    bool windows_11() override { return win11; }
    HRESULT add_sparse_package(const std::wstring& folder, const std::wstring& file) override
    {
        calls.push_back(L"add " + folder + L" " + file);
        return add_result;
    }
    HRESULT remove_sparse_package() override
    {
        calls.push_back(L"remove");
        return remove_result;
    }
    HRESULT create_service(const std::wstring& command) override
    {
        calls.push_back(L"create " + command);
        return create_result;
    }
    void start_service() override { calls.push_back(L"start"); }
    HRESULT stop_service(std::chrono::milliseconds bound) override
    {
        calls.push_back(L"stop " + std::to_wstring(bound.count()));
        return stop_result;
    }
    HRESULT delete_service(std::chrono::milliseconds bound) override
    {
        calls.push_back(L"delete " + std::to_wstring(bound.count()));
        return delete_result;
    }
};

struct busy_counter : self_install_callback {
    int calls = 0;
    void set_busy(bool busy) override { calls += busy ? 1 : 100; }
};

const std::wstring create_line = L"create \"C:\\Program Files\\X\\ebrisk.exe\"";
const std::wstring enable = L"-Command \"Enable-WindowsOptionalFeature -Online -FeatureName Client-ProjFS -NoRestart\"";
const std::wstring powershell = L"run C:\\windows\\system32\\WindowsPowerShell\\v1.0\\powershell.exe | ";

struct scenario {
    const char* name;
    std::int32_t action;
    std::uint32_t flags;
    void (*script)(recording_platform&);
    HRESULT result;
    std::vector<std::wstring> calls;
    int busy;
};

TEST(InstallActions, Scenarios)
{
    const scenario scenarios[] = {
        {"install with the feature present", 0, 0, [](recording_platform&) {}, S_OK, {create_line, L"start"}, 0},
        {"install on Windows 11", 0, 0, [](recording_platform& p) { p.win11 = true; }, S_OK,
         {L"add C:\\Program Files\\X C:\\Program Files\\X\\dedup.msix", create_line, L"start"}, 0},
        {"feature missing, silent", 0, 1, [](recording_platform& p) { p.projfs = false; }, S_OK,
         {powershell + L"powershell.exe -NoLogo -NonInteractive -WindowStyle Hidden " + enable, create_line, L"start"}, 1},
        {"feature missing, asked, PowerShell fails to enable it", 0, 0,
         [](recording_platform& p) {
             p.projfs = false;
         },
         S_OK, {L"ask", powershell + L"powershell.exe -NoLogo -NonInteractive " + enable, create_line, L"start"}, 1},
        {"feature missing, cancelled", 0, 0,
         [](recording_platform& p) {
             p.projfs = false;
             p.confirm = false;
             p.win11 = true;
         },
         E_ABORT, {L"ask"}, 0},
        {"PowerShell cannot start", 0, 1,
         [](recording_platform& p) {
             p.projfs = false;
             p.run_result = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
         },
         HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND),
         {powershell + L"powershell.exe -NoLogo -NonInteractive -WindowStyle Hidden " + enable}, 1},
        {"package not registered", 0, 0,
         [](recording_platform& p) {
             p.win11 = true;
             p.add_result = E_FAIL;
         },
         E_FAIL, {L"add C:\\Program Files\\X C:\\Program Files\\X\\dedup.msix"}, 0},
        {"service exists: the package goes again", 0, 0,
         [](recording_platform& p) {
             p.win11 = true;
             p.create_result = service_exists_hresult;
         },
         service_exists_hresult, {L"add C:\\Program Files\\X C:\\Program Files\\X\\dedup.msix", create_line, L"remove"}, 0},
        {"stop", 1, 1, [](recording_platform&) {}, S_OK, {L"stop 60000"}, 0},
        {"stop a missing service", 1, 0, [](recording_platform& p) { p.stop_result = service_missing_hresult; },
         service_missing_hresult, {L"stop 60000"}, 0},
        {"stop that outlasts its bound", 1, 0,
         [](recording_platform& p) { p.stop_result = service_wait_timeout_hresult; }, service_wait_timeout_hresult,
         {L"stop 60000"}, 0},
        {"start", 2, 0, [](recording_platform&) {}, S_OK, {L"start"}, 0},
        {"uninstall", 3, 0, [](recording_platform& p) { p.win11 = true; }, S_OK,
         {L"stop 60000", L"delete 60000", L"remove"}, 0},
        {"uninstall on Windows 10", 3, 0, [](recording_platform&) {}, S_OK, {L"stop 60000", L"delete 60000"}, 0},
        {"uninstall without a service", 3, 0, [](recording_platform& p) { p.stop_result = service_missing_hresult; },
         S_OK, {L"stop 60000", L"delete 60000"}, 0},
        {"uninstall whose stop is refused", 3, 0,
         [](recording_platform& p) { p.stop_result = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED); },
         HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), {L"stop 60000"}, 0},
        {"uninstall whose deletion fails: service started again", 3, 0,
         [](recording_platform& p) {
             p.win11 = true;
             p.delete_result = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED);
         },
         HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), {L"stop 60000", L"delete 60000", L"start"}, 0},
        {"uninstall whose package removal fails: service back", 3, 0,
         [](recording_platform& p) {
             p.win11 = true;
             p.remove_result = E_FAIL;
         },
         E_FAIL, {L"stop 60000", L"delete 60000", L"remove", create_line, L"start"}, 0},
        {"unknown action", 7, 0, [](recording_platform&) {}, E_FAIL, {}, 0},
        {"negative action", -1, 0, [](recording_platform&) {}, E_FAIL, {}, 0},
    };
    for (const scenario& s : scenarios) {
        SCOPED_TRACE(s.name);
        recording_platform platform;
        s.script(platform);
        busy_counter busy;
        // One trailing backslash goes.
        install_actions actions(platform, L"C:\\Program Files\\X\\");
        EXPECT_EQ(actions.run(s.action, nullptr, s.flags, &busy), s.result);
        EXPECT_EQ(platform.calls, s.calls);
        EXPECT_EQ(busy.calls, s.busy);
    }
}

TEST(InstallActions, NullCallbackAndWaitBound)
{
    recording_platform platform;
    platform.projfs = false;
    install_actions actions(platform, L"D:\\a b", 250ms);
    EXPECT_EQ(actions.run(0, nullptr, 1, nullptr), S_OK);
    EXPECT_EQ(actions.run(3, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(platform.calls.back(), L"delete 250");
    EXPECT_EQ(actions.service_command(), L"\"D:\\a b\\ebrisk.exe\"");
}

TEST(InstallActions, FolderChecks)
{
    struct row {
        const wchar_t* folder;
        HRESULT result;
    };
    const row rows[] = {
        {nullptr, E_INVALIDARG},        {L"", E_INVALIDARG},           {L"relative\\x", E_INVALIDARG},
        {L"C:x", E_INVALIDARG},         {L"\\x", E_INVALIDARG},         {L"C:\\a\"b", E_INVALIDARG},
        {L"C:\\Program Files\\X", S_OK}, {L"c:\\", S_OK},               {L"\\\\server\\share\\x", S_OK},
    };
    for (const row& r : rows)
        EXPECT_EQ(install_actions::check_folder(r.folder), r.result) << (r.folder ? "text" : "null");
}

// The package steps through the package layer over the scripted runtime, so that what stays
// registered at the end is what the undo left.
struct packaging_platform : recording_platform {
    platform::deployment::fake_runtime runtime;

    packaging_platform()
    {
        win11 = true;
        runtime.added = {sparse_package_name, sparse_package_publisher,
                         std::wstring(sparse_package_name) + L"_1.0.0.0_neutral__4k2m8qz1v0r3p"};
    }
    HRESULT add_sparse_package(const std::wstring& folder, const std::wstring& file) override
    {
        recording_platform::add_sparse_package(folder, file);
        return quastle::add_sparse_package(runtime, folder, file);
    }
    HRESULT remove_sparse_package() override
    {
        recording_platform::remove_sparse_package();
        return quastle::remove_sparse_package(runtime);
    }
    bool has_package() const
    {
        for (const auto& p : runtime.registered)
            if (p.name == sparse_package_name && p.publisher == sparse_package_publisher)
                return true;
        return false;
    }
};

TEST(SparsePackage, RegisteredWithTheFolderAsItsExternalLocation)
{
    packaging_platform platform;
    install_actions actions(platform, L"C:\\Program Files\\X\\");
    EXPECT_EQ(actions.run(0, nullptr, 1, nullptr), S_OK);
    EXPECT_TRUE(platform.has_package());
    const auto& calls = platform.runtime.calls;
    EXPECT_NE(std::find(calls.begin(), calls.end(), L"external C:\\Program Files\\X"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), L"add C:\\Program Files\\X\\dedup.msix"), calls.end());
    EXPECT_EQ(platform.calls, (std::vector<std::wstring>{L"add C:\\Program Files\\X C:\\Program Files\\X\\dedup.msix",
                                                         create_line, L"start"}));

    // The uninstall finds it by name and publisher and removes it.
    EXPECT_EQ(actions.run(3, nullptr, 0, nullptr), S_OK);
    EXPECT_FALSE(platform.has_package());
    EXPECT_EQ(platform.runtime.live_objects, 0);
    EXPECT_EQ(platform.runtime.live_strings, 0);
}

TEST(SparsePackage, FailuresAndTheirUndo)
{
    struct row {
        const char* name;
        std::int32_t action;
        bool registered_before;
        void (*script)(packaging_platform&);
        HRESULT result;
        bool registered_after;
        std::vector<std::wstring> calls;
    };
    const std::wstring add = L"add C:\\Program Files\\X C:\\Program Files\\X\\dedup.msix";
    const row rows[] = {
        // Under Wine every runtime class is missing: the install stops before the service.
        {"no package manager", 0, false,
         [](packaging_platform& p) { p.runtime.missing_classes.insert(L"Windows.Management.Deployment.PackageManager"); },
         E_FAIL, false, {add}},
        {"the package operation fails", 0, false, [](packaging_platform& p) { p.runtime.add_status = Error; }, E_FAIL,
         false, {add}},
        {"completed without registering", 0, false,
         [](packaging_platform& p) {
             p.runtime.add_registers = false;
             p.runtime.add_extended_error = static_cast<HRESULT>(0x80073CFF);
         },
         static_cast<HRESULT>(0x80073CFF), false, {add}},
        {"the service exists: the package just registered goes again", 0, false,
         [](packaging_platform& p) { p.create_result = service_exists_hresult; }, service_exists_hresult, false,
         {add, create_line, L"remove"}},
        {"the service cannot be created", 0, false,
         [](packaging_platform& p) { p.create_result = HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED); },
         HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED), false, {add, create_line, L"remove"}},
        {"uninstall whose package removal fails: the service comes back", 3, true,
         [](packaging_platform& p) { p.runtime.remove_status = Error; }, E_FAIL, true,
         {L"stop 60000", L"delete 60000", L"remove", create_line, L"start"}},
        {"uninstall whose package search fails", 3, true,
         [](packaging_platform& p) { p.runtime.find_result = E_ACCESSDENIED; }, E_FAIL, true,
         {L"stop 60000", L"delete 60000", L"remove", create_line, L"start"}},
        {"uninstall without a package", 3, false, [](packaging_platform&) {}, S_OK, false,
         {L"stop 60000", L"delete 60000", L"remove"}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        packaging_platform platform;
        if (r.registered_before)
            platform.runtime.registered.push_back(platform.runtime.added);
        // Another maker's package of the same name is never touched.
        platform.runtime.registered.push_back({sparse_package_name, L"CN=Someone Else", L"other"});
        r.script(platform);
        install_actions actions(platform, L"C:\\Program Files\\X");
        EXPECT_EQ(actions.run(r.action, nullptr, 1, nullptr), r.result);
        EXPECT_EQ(platform.has_package(), r.registered_after);
        EXPECT_EQ(platform.runtime.registered.back().full_name, L"other");
        EXPECT_EQ(platform.calls, r.calls);
        EXPECT_EQ(platform.runtime.live_objects, 0);
        EXPECT_EQ(platform.runtime.live_strings, 0);
    }
}

// The platform's state as the recording fake's calls change it. Each call logs first, so a call
// that runs out of memory changes nothing, as the real platform's, which copies its texts first.
struct stateful_platform : recording_platform {
    bool package = false;
    bool service = false;

    HRESULT add_sparse_package(const std::wstring& folder, const std::wstring& file) override
    {
        const HRESULT hr = recording_platform::add_sparse_package(folder, file);
        package = package || SUCCEEDED(hr);
        return hr;
    }
    HRESULT remove_sparse_package() override
    {
        const HRESULT hr = recording_platform::remove_sparse_package();
        package = package && FAILED(hr);
        return hr;
    }
    HRESULT create_service(const std::wstring& command) override
    {
        const HRESULT hr = recording_platform::create_service(command);
        service = service || SUCCEEDED(hr);
        return hr;
    }
    HRESULT delete_service(std::chrono::milliseconds bound) override
    {
        const HRESULT hr = recording_platform::delete_service(bound);
        service = service && FAILED(hr);
        return hr;
    }
};

// Out of memory at each allocation in turn: the install is all or nothing and the uninstall
// leaves the product as it was, whichever allocation fails.
TEST(InstallActions, OutOfMemoryAtEachAllocation)
{
    int failures = 0;
    for (int n = 0;; ++n) {
        SCOPED_TRACE(n);
        stateful_platform platform;
        platform.projfs = false;
        platform.win11 = true;
        busy_counter busy;
        install_actions actions(platform, L"C:\\Program Files\\X");
        HRESULT hr;
        bool fired;
        {
            test_support::allocation_failure fail(n);
            hr = actions.run(0, nullptr, 1, &busy);
            fired = fail.fired();
        }
        if (!fired) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_TRUE(platform.package && platform.service);
            break;
        }
        ++failures;
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        EXPECT_FALSE(platform.package);
        EXPECT_FALSE(platform.service);
    }
    EXPECT_GT(failures, 3);

    failures = 0;
    for (int n = 0;; ++n) {
        SCOPED_TRACE(n);
        stateful_platform platform;
        platform.win11 = true;
        platform.package = platform.service = true;
        install_actions actions(platform, L"C:\\Program Files\\X");
        HRESULT hr;
        bool fired;
        {
            test_support::allocation_failure fail(n);
            hr = actions.run(3, nullptr, 0, nullptr);
            fired = fail.fired();
        }
        if (!fired) {
            EXPECT_EQ(hr, S_OK);
            EXPECT_FALSE(platform.package || platform.service);
            break;
        }
        ++failures;
        EXPECT_EQ(hr, E_OUTOFMEMORY);
        EXPECT_TRUE(platform.package);
        EXPECT_TRUE(platform.service);
    }
    EXPECT_GT(failures, 3);
}

} // namespace
