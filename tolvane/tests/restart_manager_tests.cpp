#include <tolvane/package.h>
#include <tolvane/restart_manager_session.h>
#include <tolvane/silent_ui.h>

#include <gtest/gtest.h>

#include <string>

namespace {

using namespace tolvane;
using platform::restart_manager::fake_restart_manager;

TEST(RestartManager, SilentUiShutsDownAndRestartsTheHolders)
{
    fake_restart_manager rm;
    rm.holders[L"C:\\App\\a.dll"] = {{10, L"Editor"}, {11, L"Viewer"}};
    rm.holders[L"C:\\App\\b.dll"] = {{11, L"Viewer"}};
    silent_ui ui(rm);
    EXPECT_TRUE(ui.set_progress(indeterminate_progress));
    EXPECT_EQ(ui.get_window(), 0u);
    EXPECT_TRUE(ui.add_locked_file(L"C:\\App\\a.dll"));
    EXPECT_TRUE(ui.add_locked_file(L"C:\\App\\b.dll"));
    EXPECT_TRUE(ui.shutdown_applications());
    EXPECT_EQ(rm.registered, (std::vector<std::wstring>{L"C:\\App\\a.dll", L"C:\\App\\b.dll"}));
    EXPECT_EQ(rm.shut_down, (std::vector<DWORD>{10, 11}));

    SetEnvironmentVariableW(L"QUVAN-RAVELWIN3-ISCOPY", L"YES");
    SetEnvironmentVariableW(L"QUVAN-RAVELWIN3-LAUNCHER", nullptr);
    ui.restart_applications();
    EXPECT_EQ(rm.restarted, (std::vector<DWORD>{10, 11}));
    ASSERT_EQ(rm.restart_environments.size(), 1u);
    for (const auto& [name, value] : rm.restart_environments[0])
        EXPECT_EQ(value, L"") << std::string(name.begin(), name.end());
    wchar_t buffer[8];
    EXPECT_EQ(GetEnvironmentVariableW(L"QUVAN-RAVELWIN3-ISCOPY", buffer, 8), 3u);
    EXPECT_EQ(GetEnvironmentVariableW(L"QUVAN-RAVELWIN3-LAUNCHER", buffer, 8), 0u);
    SetEnvironmentVariableW(L"QUVAN-RAVELWIN3-ISCOPY", nullptr);
    EXPECT_EQ(rm.sessions_ended, 1);

    // A second shutdown registers only what was added since.
    EXPECT_FALSE(ui.shutdown_applications());
    EXPECT_TRUE(rm.registered.empty());
}

TEST(RestartManager, SessionOutcomes)
{
    struct session_case {
        const char* what;
        bool held;
        DWORD reasons;
        bool with_package, yes;
        int answer;
        bool expected;
        std::size_t shut_down;
        bool open_after;
    };
    const session_case cases[] = {
        {"nothing holds the file", false, 0, false, false, 0, false, 0, true},
        {"a reboot reason", true, RmRebootReasonSessionMismatch, false, false, 0, false, 0, true},
        {"no package: at once", true, 0, false, false, 0, true, 1, true},
        {"option yes: at once", true, 0, true, true, 2, true, 1, true},
        {"retry", true, 0, true, false, files_in_use_retry, true, 0, false},
        {"close and retry", true, 0, true, false, files_in_use_close_and_retry, true, 1, true},
        {"cancel", true, 0, true, false, 2, false, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fake_restart_manager rm;
        if (c.held)
            rm.holders[L"C:\\f"] = {{7, L"Holder"}};
        rm.reboot_reasons = c.reasons;
        package pkg;
        pkg.options().yes = c.yes;
        int prompts = 0;
        auto prompt = [&](HWND, const std::vector<RM_PROCESS_INFO>& processes) {
            ++prompts;
            EXPECT_EQ(processes.size(), 1u);
            return c.answer;
        };
        auto session = restart_manager_session::create(rm);
        ASSERT_TRUE(session);
        EXPECT_EQ(session->shutdown(c.with_package ? &pkg : nullptr, nullptr, {L"C:\\f"}, prompt), c.expected);
        EXPECT_EQ(rm.shut_down.size(), c.shut_down);
        EXPECT_EQ(session->is_open(), c.open_after);
        EXPECT_EQ(prompts, c.with_package && !c.yes && c.held && !c.reasons ? 1 : 0);
        session->restart();
        EXPECT_EQ(rm.restart_environments.size(), c.open_after ? 1u : 0u);
    }
    fake_restart_manager refusing;
    refusing.fail_start = ERROR_OUTOFMEMORY;
    EXPECT_FALSE(restart_manager_session::create(refusing));
    silent_ui ui(refusing);
    ui.add_locked_file(L"C:\\f");
    EXPECT_FALSE(ui.shutdown_applications());
}

TEST(RestartManager, ThePlatformSessionStartsAndEnds)
{
    // The real library end to end; under Wine it lists nobody, so the answer is not checked here.
    silent_ui ui;
    ui.add_locked_file(L"C:\\windows\\system32\\kernel32.dll");
    const bool result = ui.shutdown_applications();
    ui.restart_applications();
    SUCCEED() << result;
}

} // namespace
