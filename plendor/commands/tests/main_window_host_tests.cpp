// The adapter over a main window shaped like the utility's: a real list box, the folder vector and
// the control functions.
#include "ui_driver.h"

#include <plendor/commands/main_window_host.h>

#include <ostrel/scope_guards.h>
#include <ostrel/windows/async_context.h>
#include <tavik/thread_pool.h>

#include <gtest/gtest.h>

namespace {

using namespace tavik::details;
using ui_test::pump_until;

struct shaped_main_window : Ostrel::windows::impl::async_context {
    ui_test::owner_window frame{120, 120, 400, 300};
    HWND list = CreateWindowW(L"LISTBOX", L"", WS_CHILD | WS_VISIBLE | LBS_NOTIFY, 5, 5, 200, 200, frame.get(),
                              reinterpret_cast<HMENU>(1001), GetModuleHandleW(nullptr), nullptr);
    std::vector<std::wstring> folders;
    bool enabled = true;

    HWND window() const { return frame.get(); }
    int fill_folder_list()
    {
        const int previous = static_cast<int>(SendMessageW(list, LB_GETCURSEL, 0, 0));
        SendMessageW(list, LB_RESETCONTENT, 0, 0);
        for (const std::wstring& f : folders)
            SendMessageW(list, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(f.c_str()));
        return previous;
    }
    void disable_commands() { enabled = false; }
    void enable_commands() { enabled = true; }
};

struct answering_services : folder_services {
    std::vector<std::wstring> deleted;
    static future<long> now(long v) { co_await resume_on_thread_pool{}; co_return v; }
    future<long> convert(std::wstring) override { return now(0); }
    future<long> delete_folder(std::wstring path, bool) override
    {
        deleted.push_back(path);
        return now(0);
    }
    future<std::expected<dedup::resync_stats, long>> resync(std::wstring, std::shared_ptr<progress>) override
    {
        throw std::logic_error("not used");
    }
    future<std::expected<dedup::recover_stats, long>> recover(std::wstring) override { throw std::logic_error("not used"); }
};


TEST(MainWindowHost, DeleteThroughTheListBox)
{
    auto hook = Ostrel::windows::impl::install_ui_return_hook();
    shaped_main_window main;
    answering_services services;
    main_window_host<shaped_main_window> host(main, services);
    main.folders = {L"c:\\a", L"c:\\b", L"c:\\c"};
    main.fill_folder_list();
    host.select(1);
    EXPECT_EQ(host.selected_index(), 1);
    auto f = delete_selected_folder(host);
    ASSERT_TRUE(pump_until([&] { return f.is_ready(); }));
    EXPECT_EQ(services.deleted, std::vector<std::wstring>{L"c:\\b"});
    EXPECT_EQ(main.folders, (std::vector<std::wstring>{L"c:\\a", L"c:\\c"}));
    EXPECT_EQ(SendMessageW(main.list, LB_GETCOUNT, 0, 0), 2);
    EXPECT_EQ(host.selected_index(), 1);
    EXPECT_TRUE(main.enabled);
    EXPECT_FALSE(host.closing());
    host.mark_closing();
    EXPECT_TRUE(host.closing());
}

} // namespace
