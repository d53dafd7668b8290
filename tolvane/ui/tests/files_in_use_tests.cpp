// The files-in-use dialog with real processes: lines disappear as their processes end, the last one
// closes the dialog as Retry, a cancel stops every waiter, and an ended process listed first does
// not close the dialog before the others are listed. Reached through the window's
// shutdown_applications from a pool thread, as the engine (or the pipe) calls it.

#include "window_host.h"

#include <tavik/thread_pool.h>

#include <testing/support/child_process.h>

#include <gtest/gtest.h>

#include <vector>

namespace {

using namespace ui_tests;
using namespace tolvane;

// A process that runs until it is ended: this test program waiting in a skipped test.
struct sleeper {
    PROCESS_INFORMATION info{};
    sleeper()
    {
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        std::wstring command = L"\"" + std::wstring(exe) + L"\" --gtest_filter=FilesInUseChild.Sleep";
        SetEnvironmentVariableW(L"TOLVANE_UI_TEST_SLEEP", L"1");
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        test_support::create_process(nullptr, command.data(), FALSE, 0, nullptr, nullptr, &startup, &info);
        SetEnvironmentVariableW(L"TOLVANE_UI_TEST_SLEEP", nullptr);
    }
    void end()
    {
        TerminateProcess(info.hProcess, 0);
        WaitForSingleObject(info.hProcess, 10000);
    }
    ~sleeper()
    {
        if (info.hProcess) {
            TerminateProcess(info.hProcess, 0);
            CloseHandle(info.hProcess);
            CloseHandle(info.hThread);
        }
    }
    DWORD pid() const { return info.dwProcessId; }
};

std::vector<std::wstring> lines_of(HWND dialog)
{
    std::vector<std::wstring> out;
    HWND list = GetDlgItem(dialog, 1004);
    const LRESULT n = SendMessageW(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < n; ++i) {
        wchar_t line[256] = {};
        SendMessageW(list, LB_GETTEXT, i, reinterpret_cast<LPARAM>(line));
        out.push_back(line);
    }
    return out;
}

struct files_in_use_fixture : ::testing::Test {
    window_host host;
    platform::restart_manager::fake_restart_manager rm;
    tavik::details::future<bool> answer;

    void SetUp() override
    {
        host.hooks.restart_manager = &rm;
        host.start(install_type_install);
        PostMessageW(host.window, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    }
    void TearDown() override
    {
        host.run.succeed();
        if (wait_until([&] { return page_of_ok(); }, 5000))
            PostMessageW(host.window, WM_COMMAND, 1035, 0);
        host.ended();
    }
    bool page_of_ok()
    {
        return host.on_ui([](main_dialog& d) { return d.page_text().find(L"installed") != std::wstring::npos; });
    }

    // The engine's call, on a pool thread.
    void ask(std::vector<platform::restart_manager::fake_restart_manager::holder> holders)
    {
        rm.holders[L"C:\\p\\a.dll"] = std::move(holders);
        SetupUiInterface* ui = &host.ui();
        answer = [](SetupUiInterface* ui) -> tavik::details::future<bool> {
            co_await tavik::details::resume_on_thread_pool{};
            ui->add_locked_file(L"C:\\p\\a.dll");
            co_return ui->shutdown_applications();
        }(ui);
    }
    HWND find_dialog()
    {
        HWND dialog = nullptr;
        wait_until([&] { return (dialog = find_shown_dialog(L"File Is in Use")) != nullptr; });
        return dialog;
    }
    bool result() { return tavik::details::wait_blocking_result(std::move(answer)); }
};

} // namespace

TEST(FilesInUseChild, Sleep)
{
    if (!GetEnvironmentVariableW(L"TOLVANE_UI_TEST_SLEEP", nullptr, 0))
        GTEST_SKIP() << "run by the files-in-use tests";
    Sleep(60000);
    ExitProcess(0);
}

TEST_F(files_in_use_fixture, LinesGoAsTheirProcessesEndAndTheLastClosesAsRetry)
{
    sleeper a, b;
    ask({{a.pid(), L"Editor"}, {b.pid(), L"Editor"}});
    HWND dialog = find_dialog();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(wait_until([&] { return lines_of(dialog).size() == 2; }));
    save_screenshot(dialog, L"files-in-use-dialog");
    EXPECT_EQ(lines_of(dialog), (std::vector<std::wstring>{L"Editor (Process ID: " + std::to_wstring(a.pid()) + L")",
                                                         L"Editor (Process ID: " + std::to_wstring(b.pid()) + L")"}));
    a.end();
    ASSERT_TRUE(wait_until([&] { return lines_of(dialog).size() == 1; }));
    EXPECT_TRUE(IsWindow(dialog));
    b.end();
    EXPECT_TRUE(result());
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_TRUE(rm.shut_down.empty()); // Retry shuts nothing down
}

TEST_F(files_in_use_fixture, AProcessThatEndedBeforeTheDialogLeavesTheOthersListed)
{
    sleeper gone, running;
    gone.end();
    ask({{gone.pid(), L"Gone"}, {running.pid(), L"Running"}});
    HWND dialog = find_dialog();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(wait_until([&] { return lines_of(dialog).size() == 1; }));
    Sleep(200);
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_EQ(lines_of(dialog), std::vector<std::wstring>{L"Running (Process ID: " + std::to_wstring(running.pid()) + L")"});
    PostMessageW(dialog, WM_COMMAND, 1003, 0);
    EXPECT_TRUE(result());
    EXPECT_FALSE(rm.shut_down.empty());
}

TEST_F(files_in_use_fixture, CancelWithTwoWaitersClosesAtOnceAndLateEndsChangeNothing)
{
    sleeper a, b;
    ask({{a.pid(), L"A"}, {b.pid(), L"B"}});
    HWND dialog = find_dialog();
    ASSERT_TRUE(dialog);
    ASSERT_TRUE(wait_until([&] { return lines_of(dialog).size() == 2; }));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(result());
    a.end();
    b.end();
    Sleep(100);
    // The window goes on working.
    EXPECT_TRUE(host.ui().set_progress(1));
}

TEST_F(files_in_use_fixture, AProcessEndingWhileTheDialogClosesDoesNotHoldIt)
{
    for (int round = 0; round < 5; ++round) {
        sleeper a, b;
        ask({{a.pid(), L"A"}, {b.pid(), L"B"}});
        HWND dialog = find_dialog();
        ASSERT_TRUE(dialog);
        ASSERT_TRUE(wait_until([&] { return lines_of(dialog).size() == 2; }));
        TerminateProcess(a.info.hProcess, 0);
        PostMessageW(dialog, WM_COMMAND, IDOK, 0);
        EXPECT_TRUE(result());
        ASSERT_TRUE(wait_until([&] { return !IsWindow(dialog); }));
    }
}

TEST_F(files_in_use_fixture, NothingToShutDownIsAFalseAnswerWithoutADialog)
{
    ask({});
    EXPECT_FALSE(result());
    EXPECT_EQ(find_shown_dialog(L"File Is in Use"), nullptr);
}
