// The main window on the display, run by this program as the first instance against the stand-in
// service: which controls are enabled in each state, the selection across refreshes, the verbs of
// the command line, the double-click, closing, and the layout as the window grows.
#include "main_window.h"

#include <lurran/message.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include <chrono>
#include <set>
#include <string>
#include <vector>

namespace {

using namespace plendor_test;
using namespace std::chrono_literals;

std::set<int> enabled_commands(HWND window)
{
    std::set<int> on;
    for (int id : {main_ids::list, main_ids::refresh, main_ids::add, main_ids::optimize, main_ids::recover, main_ids::remove,
                   main_ids::about, main_ids::help, main_ids::close})
        if (IsWindowEnabled(GetDlgItem(window, id)))
            on.insert(id);
    return on;
}

const std::set<int> listed_set = {main_ids::list, main_ids::refresh, main_ids::add, main_ids::about, main_ids::help,
                                  main_ids::close};
const std::set<int> selected_set = {main_ids::list,    main_ids::refresh, main_ids::add,  main_ids::optimize, main_ids::recover,
                                    main_ids::remove, main_ids::about,   main_ids::help, main_ids::close};
const std::set<int> unreachable_set = {main_ids::refresh, main_ids::about, main_ids::help, main_ids::close};

void select(HWND window, int index)
{
    HWND list = GetDlgItem(window, main_ids::list);
    SendMessageW(list, LB_SETCURSEL, WPARAM(index), 0);
    PostMessageW(window, WM_COMMAND, MAKEWPARAM(main_ids::list, LBN_SELCHANGE), LPARAM(list));
}

int selection(HWND window) { return int(SendDlgItemMessageW(window, main_ids::list, LB_GETCURSEL, 0, 0)); }

std::vector<std::wstring> list_items(HWND window)
{
    std::vector<std::wstring> items;
    const int n = int(SendDlgItemMessageW(window, main_ids::list, LB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
        std::wstring text(size_t(SendDlgItemMessageW(window, main_ids::list, LB_GETTEXTLEN, WPARAM(i), 0)), L'\0');
        SendDlgItemMessageW(window, main_ids::list, LB_GETTEXT, WPARAM(i), LPARAM(text.data()));
        items.push_back(text);
    }
    return items;
}

TEST(MainWindow, EnabledSetsFollowTheRefreshAndTheSelection)
{
    service_stand_in service({L"C:\\a", L"C:\\b"});
    main_window w(L"plendor.exe");
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
    EXPECT_EQ(list_items(w.window()), (std::vector<std::wstring>{L"C:\\a", L"C:\\b"}));
    select(w.window(), 1);
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == selected_set; }));
    EXPECT_TRUE(w.errors().empty());
    // A start without a verb: the notice, then the update flow.
    EXPECT_EQ(w.calls(), (std::vector<std::wstring>{L"notice", L"update"}));
}

TEST(MainWindow, WithoutTheServiceOnlyRefreshAboutHelpAndCloseAreEnabled)
{
    main_window w(L"plendor.exe");
    ASSERT_TRUE(w.wait_until([&] { return !w.errors().empty() && IsWindowEnabled(w.control(IDCANCEL)); }));
    EXPECT_EQ(w.errors(), std::vector<std::wstring>{service_unreachable_text});
    EXPECT_EQ(enabled_commands(w.window()), unreachable_set);
    EXPECT_EQ(w.calls(), (std::vector<std::wstring>{L"notice", L"update"}));

    // The service comes up: Refresh fills the list.
    service_stand_in service({L"C:\\a"});
    PostMessageW(w.window(), WM_COMMAND, MAKEWPARAM(main_ids::refresh, BN_CLICKED), 0);
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
    EXPECT_EQ(list_items(w.window()), std::vector<std::wstring>{L"C:\\a"});
}

TEST(MainWindow, ARefreshKeepsTheSelectedPositionWhileItExists)
{
    service_stand_in service({L"C:\\a", L"C:\\b", L"C:\\c"});
    main_window w(L"plendor.exe");
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
    auto refresh = [&](std::size_t expected_count) {
        const std::size_t seen = w.list_folders_seen(service);
        PostMessageW(w.window(), WM_COMMAND, MAKEWPARAM(main_ids::refresh, BN_CLICKED), 0);
        return w.wait_until([&] {
            return w.list_folders_seen(service) > seen && IsWindowEnabled(w.control(IDCANCEL)) &&
                   list_items(w.window()).size() == expected_count;
        });
    };
    select(w.window(), 1);
    ASSERT_TRUE(w.wait_until([&] { return IsWindowEnabled(w.control(main_ids::remove)); }));
    service.set_folders({L"C:\\a", L"C:\\c"});
    ASSERT_TRUE(refresh(2));
    EXPECT_EQ(selection(w.window()), 1);
    EXPECT_EQ(enabled_commands(w.window()), selected_set);

    // The selected last entry disappears: nothing is selected, the folder commands go off.
    service.set_folders({L"C:\\a"});
    ASSERT_TRUE(refresh(1));
    EXPECT_EQ(selection(w.window()), -1);
    EXPECT_EQ(enabled_commands(w.window()), listed_set);

    service.set_folders({});
    ASSERT_TRUE(refresh(0));
    EXPECT_EQ(enabled_commands(w.window()), listed_set);
}

TEST(MainWindow, RunsOnlyTheFirstVerbInItsOrder)
{
    struct row {
        const wchar_t* command_line;
        const wchar_t* call;
    };
    const std::vector<row> rows = {
        {L"plendor.exe --create-in C:\\n --recover C:\\r --optimize C:\\o --convert C:\\c", L"convert C:\\c"},
        {L"plendor.exe --create-in C:\\n --recover C:\\r --optimize C:\\o", L"optimize C:\\o"},
        {L"plendor.exe --create-in C:\\n --delete c:\\a --recover C:\\r", L"recover C:\\r"},
        {L"plendor.exe --create-in C:\\n --delete C:\\A", L"delete 0"},
        {L"plendor.exe --create-in \"C:\\new folder\"", L"create-in C:\\new folder"},
        {L"plendor.exe --bogus --optimize C:\\o", L"optimize C:\\o"}, // a malformed option is skipped
    };
    service_stand_in service({L"c:\\a"});
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.command_line)));
        main_window w(r.command_line);
        ASSERT_TRUE(w.wait_until([&] { return !w.calls().empty(); }));
        EXPECT_EQ(w.calls(), std::vector<std::wstring>{r.call});
    }
}

TEST(MainWindow, TheDeleteVerbMatchesOnlyAListedEntryEqualToTheCanonicalLoweredPath)
{
    struct row {
        const wchar_t* listed;
        const wchar_t* given;
        bool matched;
    };
    const std::vector<row> rows = {
        {L"c:\\data\\x", L"C:\\DATA\\X", true},
        {L"C:\\Data\\X", L"C:\\Data\\X", false}, // only the given value is lowered
        {L"c:\\data\\x", L"c:\\data\\x\\", true},          // the trailing separator goes
        {L"c:\\data\\x", L"C:\\Data\\.\\y\\..\\X", true}, // so do the dot segments
        {L"c:\\data\\x", L"data\\x", false},              // not fully qualified
        {L"c:\\data\\x", L"c:\\data", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.given)));
        service_stand_in service({L"c:\\other", r.listed});
        main_window w(std::wstring(L"plendor.exe --delete \"") + r.given + L"\"");
        ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
        Sleep(50);
        EXPECT_EQ(w.calls(), r.matched ? std::vector<std::wstring>{L"delete 1"} : std::vector<std::wstring>{});
    }
}

TEST(MainWindow, ADoubleClickOpensExplorerOnTheSelectedFolder)
{
    test_support::temp_folder logs;
    const std::wstring log = logs / L"explorer.log";
    SetEnvironmentVariableW(L"PLENDOR_TEST_EXPLORER_LOG", log.c_str());
    service_stand_in service({L"C:\\a", L"D:\\with space"});
    main_window w(L"plendor.exe");
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
    // No selection: nothing starts.
    SendMessageW(w.window(), WM_COMMAND, MAKEWPARAM(main_ids::list, LBN_DBLCLK), LPARAM(w.control(main_ids::list)));
    select(w.window(), 1);
    PostMessageW(w.window(), WM_COMMAND, MAKEWPARAM(main_ids::list, LBN_DBLCLK), LPARAM(w.control(main_ids::list)));
    ASSERT_TRUE(w.wait_until([&] { return test_support::file_exists(log); }));
    Sleep(200);
    const auto raw = test_support::read_file(log);
    std::wstring text(raw.size() / 2, L'\0');
    memcpy(text.data(), raw.data(), text.size() * 2);
    EXPECT_EQ(text, L"explorer.exe /select,D:\\with space\n");
    SetEnvironmentVariableW(L"PLENDOR_TEST_EXPLORER_LOG", nullptr);
}

TEST(MainWindow, CloseEscapeAndWmCloseEndTheLoopWithZero)
{
    service_stand_in service({L"C:\\a"});
    for (int way = 0; way < 3; ++way) {
        SCOPED_TRACE(way);
        main_window w(L"plendor.exe");
        ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
        if (way == 0) {
            PostMessageW(w.window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), LPARAM(w.control(IDCANCEL)));
        } else if (way == 1) {
            HWND list = w.control(main_ids::list);
            PostMessageW(list, WM_KEYDOWN, VK_ESCAPE, 0);
        } else {
            PostMessageW(w.window(), WM_CLOSE, 0, 0);
        }
        EXPECT_EQ(w.wait_for_end(10s), 0);
    }
}

TEST(MainWindow, TheListGrowsWithTheWindow)
{
    service_stand_in service({L"C:\\a"});
    main_window w(L"plendor.exe");
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
    auto rect_of = [&](int id) {
        RECT r;
        GetWindowRect(w.control(id), &r);
        return r;
    };
    RECT window;
    GetWindowRect(w.window(), &window);
    const RECT list = rect_of(main_ids::list), close = rect_of(IDCANCEL), add = rect_of(main_ids::add),
               about = rect_of(main_ids::about);
    // The arrangement: the list left of the command column and above the button row.
    EXPECT_LT(list.right, about.left);
    EXPECT_LT(list.bottom, add.top);
    EXPECT_EQ(add.bottom, close.bottom);
    SetWindowPos(w.window(), nullptr, 0, 0, window.right - window.left + 120, window.bottom - window.top + 80,
                 SWP_NOMOVE | SWP_NOZORDER);
    ASSERT_TRUE(w.wait_until([&] { return rect_of(main_ids::list).right - rect_of(main_ids::list).left > list.right - list.left; }));
    const RECT grown = rect_of(main_ids::list);
    EXPECT_EQ(grown.right - grown.left, list.right - list.left + 120);
    EXPECT_EQ(grown.bottom - grown.top, list.bottom - list.top + 80);
    EXPECT_EQ(rect_of(IDCANCEL).right - close.right, 120);
    EXPECT_EQ(rect_of(IDCANCEL).bottom - close.bottom, 80);
    EXPECT_EQ(rect_of(main_ids::about).top, about.top);
}

// What reaches the main window as WM_COPYDATA: frames that do not fit, a count past the body, an
// unknown method and a command line with a syntax error are dropped; the window runs on and the
// next good forward is carried out.
TEST(MainWindow, BadForwardsAreDroppedAndTheWindowRunsOn)
{
    service_stand_in service({L"C:\\a"});
    main_window w(L"plendor.exe");
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
    auto send = [&](ULONG_PTR tag, std::uint32_t method, std::uint32_t count, const std::wstring& text,
                    std::uint32_t call_word = 0x40000000) {
        std::vector<std::byte> data(16 + text.size() * 2);
        lurran::details::store_u32le(data.data(), call_word);
        lurran::details::store_u32le(data.data() + 4, method);
        lurran::details::store_u32le(data.data() + 8, std::uint32_t(4 + text.size() * 2));
        lurran::details::store_u32le(data.data() + 12, count);
        memcpy(data.data() + 16, text.data(), text.size() * 2);
        COPYDATASTRUCT cds{tag, DWORD(data.size()), data.data()};
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(w.window(), WM_COPYDATA, 0, LPARAM(&cds), SMTO_NORMAL, 5000, &answer);
    };
    const std::wstring good = L"plendor.exe --optimize C:\\o";
    send(0x3776427E, 0x02D2E0D8, std::uint32_t(good.size()), good);               // another tag
    send(0x3776427F, 0x02D2E0D8, std::uint32_t(good.size()) + 1, good);           // count past the body
    send(0x3776427F, 0x02D2E0D9, std::uint32_t(good.size()), good);               // unknown method
    send(0x3776427F, 0x02D2E0D8, 21, L"plendor.exe --convert");                   // no folder: syntax error
    send(0x3776427F, 0x02D2E0D8, std::uint32_t(good.size()), good, 0x00000001);   // a request, not one-way
    Sleep(300);
    EXPECT_EQ(w.list_folders_seen(service), 1u);
    EXPECT_EQ(w.calls(), (std::vector<std::wstring>{L"notice", L"update"}));
    send(0x3776427F, 0x02D2E0D8, std::uint32_t(good.size()), good);
    ASSERT_TRUE(w.wait_until([&] { return w.calls().size() == 3; }));
    EXPECT_EQ(w.calls().back(), L"optimize C:\\o");
    EXPECT_EQ(w.list_folders_seen(service), 2u);
}

// Closing while the update flow runs cancels it and waits for its end before the window goes.
TEST(MainWindow, ClosingCancelsTheUpdateFlowAndWaitsForIt)
{
    service_stand_in service({L"C:\\a"});
    std::atomic<bool> flow_ended{false};
    main_window w(L"plendor.exe", [&](main_dlg_hooks& hooks) {
        hooks.start_update_flow = [&](main_dlg&, tavik::details::cancellation_source source) -> tavik::details::future<void> {
            auto ended = std::make_shared<tavik::details::promise_type_<void>>();
            tavik::details::cancellation_token token(source);
            tavik::details::cancellation_subscription subscription(token, [ended] { tavik::details::complete_async(ended); });
            co_await *ended;
            Sleep(200); // the flow's own cleanup
            flow_ended = true;
        };
    });
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
    Sleep(100);
    EXPECT_FALSE(flow_ended.load());
    PostMessageW(w.window(), WM_CLOSE, 0, 0);
    EXPECT_EQ(w.wait_for_end(10s), 0);
    EXPECT_TRUE(flow_ended.load());
}

// Two later starts in quick succession: each dispatcher runs its own verb, although the second
// command line is parsed into the option table while the first dispatcher still waits for its
// refresh.
TEST(MainWindow, ForwardsInQuickSuccessionEachRunTheirOwnVerb)
{
    service_stand_in service({L"C:\\a"}, "list_folders delay 300\n");
    main_window w(L"plendor.exe");
    ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
    EXPECT_EQ(forward_command_line(w.window(), nullptr, L"plendor.exe --optimize C:\\first"), S_OK);
    EXPECT_EQ(forward_command_line(w.window(), nullptr, L"plendor.exe --recover C:\\second"), S_OK);
    ASSERT_TRUE(w.wait_until([&] { return w.calls().size() >= 4; }));
    Sleep(300);
    const std::vector<std::wstring> calls = w.calls();
    std::vector<std::wstring> verbs(calls.begin() + 2, calls.end());
    std::sort(verbs.begin(), verbs.end());
    EXPECT_EQ(verbs, (std::vector<std::wstring>{L"optimize C:\\first", L"recover C:\\second"}));
}

// A service that answers the list with an error reply or a reply cut short is treated as one that
// cannot be reached: the fixed box, and the folders stay as they were.
TEST(MainWindow, AFailedOrMalformedListReplyShowsTheServiceBox)
{
    for (const char* script : {"list_folders error 0x80070005", "list_folders body 0100000009000000410042"}) {
        SCOPED_TRACE(script);
        service_stand_in service({L"C:\\a"}, script);
        main_window w(L"plendor.exe");
        ASSERT_TRUE(w.wait_until([&] { return !w.errors().empty() && IsWindowEnabled(w.control(IDCANCEL)); }));
        EXPECT_EQ(w.errors(), std::vector<std::wstring>{service_unreachable_text});
        EXPECT_EQ(enabled_commands(w.window()), unreachable_set);
        EXPECT_TRUE(list_items(w.window()).empty());
        // The next refresh gets the list.
        PostMessageW(w.window(), WM_COMMAND, MAKEWPARAM(main_ids::refresh, BN_CLICKED), 0);
        ASSERT_TRUE(w.wait_until([&] { return enabled_commands(w.window()) == listed_set; }));
        EXPECT_EQ(list_items(w.window()), std::vector<std::wstring>{L"C:\\a"});
    }
}

} // namespace
