// The main window on the display, run by this program as the first instance against the stand-in
// service: which controls are enabled in each state, the selection across refreshes, the verbs of
// the command line, the double-click, closing, and the layout as the window grows.
#include "main_window.h"

#include <gtest/gtest.h>

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

TEST(MainWindow, TheDeleteVerbMatchesOnlyAListedEntryEqualToTheLoweredPath)
{
    struct row {
        const wchar_t* listed;
        const wchar_t* given;
        bool matched;
    };
    const std::vector<row> rows = {
        {L"c:\\data\\x", L"C:\\DATA\\X", true},
        {L"C:\\Data\\X", L"C:\\Data\\X", false}, // only the given value is lowered
        {L"c:\\data\\x", L"c:\\data\\x\\", false},
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

} // namespace
