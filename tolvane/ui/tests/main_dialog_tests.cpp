// The main window for real under the display: pages, buttons, the interface operations arriving
// from other threads, the completion page for every kind of outcome and the reboot countdown.

#include "window_host.h"

#include <tavik/error.h>
#include <tavik/thread_pool.h>
#include <tolvane/command_line.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace ui_tests;
using namespace tolvane;

struct button_info {
    int id;
    std::wstring text;
    bool enabled;
    RECT rect;
};

std::vector<button_info> buttons_of(window_host& host)
{
    return host.on_ui([](main_dialog& d) {
        std::vector<button_info> out;
        for (HWND b : d.buttons()) {
            RECT r{};
            GetWindowRect(b, &r);
            MapWindowPoints(nullptr, d.window(), reinterpret_cast<POINT*>(&r), 2);
            out.push_back({static_cast<int>(GetWindowLongW(b, GWL_ID)), window_text(b), IsWindowEnabled(b) != FALSE, r});
        }
        return out;
    });
}

std::wstring page_of(window_host& host)
{
    return host.on_ui([](main_dialog& d) { return d.page_text(); });
}

// Runs f on a pool thread, as the engine does, and waits for it.
template <class F>
auto from_pool(F f)
{
    return tavik::details::wait_blocking_result([](F f) -> tavik::details::future<decltype(f())> {
        co_await tavik::details::resume_on_thread_pool{};
        co_return f();
    }(std::move(f)));
}

TEST(MainDialog, TitleShowsTheMinorInTwoDigitsAfterANoBreakSpace)
{
    window_host host;
    host.start(install_type_install);
    EXPECT_EQ(host.on_ui([](main_dialog& d) { return d.title_text(); }),
              L"Quvan [[[bFolder Dedup\u00A02.05]]]");
    EXPECT_EQ(window_text(host.window), L"Quvan Folder Dedup Setup Package");
    PostMessageW(host.window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(host.ended());
    EXPECT_EQ(host.exit_code, 9);
}

struct page_case {
    std::int32_t type;
    const wchar_t* text;
    std::vector<std::pair<int, std::wstring>> buttons;
    int default_id;
    bool progress;
};

TEST(MainDialog, EachInstallTypeBuildsItsPage)
{
    const std::wstring title = L"Quvan [[[bFolder Dedup\u00A02.05]]]";
    const std::vector<page_case> cases = {
        {install_type_install,
         L"Install Quvan [[[bFolder Dedup\u00A02.05]]] on this computer? Continuing, you agree to the terms and "
         L"conditions of our [[[hLicense Agreement]]].",
         {{1031, L"&Customize\u2026"}, {1, L"&Install"}}, 1, true},
        {install_type_windows_too_old, L"Needs Windows 10\nor later {x}", {{1034, L"More Info"}, {2, L"Close"}}, 2, false},
        {install_type_newer_installed,
         L"A newer version of Quvan [[[bFolder Dedup]]] is already installed.\r\n\nThis is the installer for version "
         L"2.5.1, however version 2.4.0 is currently installed.\r\n\nSetup will now quit.",
         {{2, L"Close"}}, 2, false},
        {install_type_uninstall, L"Uninstall Quvan [[[bFolder Dedup\u00A02.05]]] from this computer?",
         {{1032, L"Uninstall"}}, 1032, true},
        {install_type_update, L"Select what to do with Quvan [[[bFolder Dedup\u00A02.05]]] on this computer?",
         {{1033, L"Configure\u2026"}, {1032, L"Uninstall"}}, 1033, true},
        {install_type_upgrade,
         L"[[[bFolder Dedup]]] version 2.4.0 is already installed. Setup will upgrade the product to version "
         L"[[[b2.5.1]]]. If you need to add/remove any additional components, please re-run the Setup after "
         L"upgrade is completed.",
         {{1, L"Upgrade"}}, 1, true},
        {install_type_remove_previous, nullptr, {{1, L"Upgrade"}}, 1, true},
        {17, L"", {}, 0, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        window_host host;
        host.pkg.properties().set(L"RequiredOSes", L"Needs Windows 10\\nor later {x}");
        host.start(c.type);
        if (c.text) {
            EXPECT_EQ(page_of(host), c.text);
        }
        auto buttons = buttons_of(host);
        ASSERT_EQ(buttons.size(), c.buttons.size());
        for (std::size_t i = 0; i < buttons.size(); ++i) {
            EXPECT_EQ(buttons[i].id, c.buttons[i].first);
            EXPECT_EQ(buttons[i].text, c.buttons[i].second);
        }
        const LRESULT def = host.on_ui([](main_dialog& d) { return SendMessageW(d.window(), DM_GETDEFID, 0, 0); });
        if (c.default_id) {
            EXPECT_EQ(LOWORD(def), c.default_id);
        }
        EXPECT_EQ(host.on_ui([](main_dialog& d) { return d.progress_bar() != nullptr; }), c.progress);
        PostMessageW(host.window, WM_CLOSE, 0, 0);
        ASSERT_TRUE(host.ended());
        EXPECT_EQ(host.exit_code, 9);
    }
}

// The install page's geometry, at 96 DPI and (through the DPI lookup) at 144.
TEST(MainDialog, InstallPageGeometryFollowsTheScale)
{
    for (UINT dpi : {96u, 144u}) {
        SCOPED_TRACE(dpi);
        window_host host;
        host.hooks.dpi_for_window = [dpi](HWND) { return dpi; };
        host.start(install_type_install);
        const float s = dpi / 96.0f;
        struct geometry {
            D2D1_RECT_F text, status;
            float h;
            RECT client, progress;
            bool progress_visible;
        };
        auto g = host.on_ui([](main_dialog& d) {
            geometry g{d.text_rect(), d.status_rect(), d.line_height(), {}, {}, false};
            GetClientRect(d.window(), &g.client);
            GetWindowRect(d.progress_bar(), &g.progress);
            MapWindowPoints(nullptr, d.window(), reinterpret_cast<POINT*>(&g.progress), 2);
            g.progress_visible = IsWindowVisible(d.progress_bar()) != FALSE;
            return g;
        });
        const float width = g.client.right / s;
        EXPECT_FLOAT_EQ(g.text.left, 100);
        EXPECT_FLOAT_EQ(g.text.top, 10);
        EXPECT_NEAR(g.text.right, width - 10, 1.0f);
        EXPECT_GT(g.h, 0);
        const float y = g.text.bottom + 20;
        EXPECT_EQ(g.progress.top, static_cast<LONG>((y + 10) * s));
        EXPECT_EQ(g.progress.bottom, static_cast<LONG>((y + 20) * s));
        EXPECT_EQ(g.progress.left, static_cast<LONG>(100 * s));
        EXPECT_FALSE(g.progress_visible);
        EXPECT_FLOAT_EQ(g.status.top, y + 25);
        EXPECT_NEAR(g.status.bottom, y + 25 + g.h + 10.0f / 3.0f, 0.001f);
        auto buttons = buttons_of(host);
        ASSERT_EQ(buttons.size(), 2u);
        const float top = g.status.bottom + 10;
        const float bottom = top + 1.6f * g.h;
        const float w = g.text.right + 10;
        EXPECT_EQ(buttons[1].rect.left, static_cast<LONG>((w - 120) * s));
        EXPECT_EQ(buttons[1].rect.right, static_cast<LONG>((w - 10) * s));
        EXPECT_EQ(buttons[0].rect.left, static_cast<LONG>((w - 240) * s));
        EXPECT_EQ(buttons[0].rect.right, static_cast<LONG>((w - 130) * s));
        EXPECT_EQ(buttons[0].rect.top, static_cast<LONG>(top * s));
        EXPECT_EQ(buttons[0].rect.bottom, static_cast<LONG>(bottom * s));
        // The client area ends 10 below the buttons.
        EXPECT_NEAR(g.client.bottom, (bottom + 10) * s, 1.0);
        PostMessageW(host.window, WM_CLOSE, 0, 0);
        ASSERT_TRUE(host.ended());
    }
}

TEST(MainDialog, ALongerTextMakesTheWindowTallerNotWider)
{
    RECT sizes[2];
    for (int i = 0; i < 2; ++i) {
        window_host host;
        host.pkg.properties().set(L"RequiredOSes", i ? L"a\\nb\\nc\\nd\\ne\\nf" : L"a");
        host.start(install_type_windows_too_old);
        GetWindowRect(host.window, &sizes[i]);
        PostMessageW(host.window, WM_CLOSE, 0, 0);
        ASSERT_TRUE(host.ended());
    }
    EXPECT_EQ(sizes[0].right - sizes[0].left, sizes[1].right - sizes[1].left);
    EXPECT_GT(sizes[1].bottom - sizes[1].top, sizes[0].bottom - sizes[0].top);
}

TEST(MainDialog, ProgressStatusAndCancelRulesArriveInCallOrder)
{
    window_host host;
    host.start(install_type_install);
    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    // A second click while the run goes on does nothing.
    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    auto buttons = buttons_of(host);
    EXPECT_EQ(host.run.starts, 1);
    for (auto& b : buttons)
        EXPECT_FALSE(b.enabled);
    EXPECT_TRUE(host.on_ui([](main_dialog& d) { return IsWindowVisible(d.progress_bar()) != FALSE; }));

    struct bar {
        int position, high;
        bool marquee_style, marquee;
        std::wstring status;
    };
    auto read = [&] {
        return host.on_ui([](main_dialog& d) {
            return bar{static_cast<int>(SendMessageW(d.progress_bar(), PBM_GETPOS, 0, 0)),
                       static_cast<int>(SendMessageW(d.progress_bar(), PBM_GETRANGE, FALSE, 0)),
                       (GetWindowLongW(d.progress_bar(), GWL_STYLE) & PBS_MARQUEE) != 0, d.marquee(), d.status_text()};
        });
    };
    from_pool([&] {
        auto& ui = host.ui();
        ui.set_progress_range(40);
        EXPECT_TRUE(ui.set_progress(3));
        ui.set_status(std::wstring(L"first"));
        const std::wstring second = L"second";
        ui.set_status(second);
        EXPECT_TRUE(ui.set_progress(indeterminate_progress));
        return 0;
    });
    auto b = read();
    EXPECT_EQ(b.high, 40);
    EXPECT_TRUE(b.marquee_style);
    EXPECT_TRUE(b.marquee);
    EXPECT_EQ(b.status, L"second");
    from_pool([&] {
        host.ui().set_progress(7);
        return 0;
    });
    b = read();
    EXPECT_FALSE(b.marquee_style);
    EXPECT_FALSE(b.marquee);
    EXPECT_EQ(b.position, 7);

    // Cancel forbidden: the close box and Escape do nothing, nothing greys.
    from_pool([&] {
        host.ui().enable_cancel(false);
        return 0;
    });
    host.on_ui([](main_dialog&) { return 0; });
    PostMessageW(host.window, WM_CLOSE, 0, 0);
    PostMessageW(host.window, WM_COMMAND, IDCANCEL, 0);
    EXPECT_FALSE(host.on_ui([](main_dialog& d) { return d.cancelled(); }));
    EXPECT_EQ(host.ui().get_feature_selection().size(), 0u);
    EXPECT_EQ(host.ui().get_window(), reinterpret_cast<std::uint64_t>(host.window.load()));

    // Allowed again: the cancel reaches the engine at its next progress report, and the window
    // closes once the run has ended (with E_ABORT here).
    from_pool([&] {
        host.ui().enable_cancel(true);
        return 0;
    });
    host.on_ui([](main_dialog&) { return 0; });
    PostMessageW(host.window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(wait_until([&] { return !host.ui().set_progress(8); }));
    EXPECT_FALSE(host.ui().set_progress(indeterminate_progress));
    host.run.fail(tavik::details::hresult_error(E_ABORT));
    ASSERT_TRUE(host.ended());
    EXPECT_EQ(host.exit_code, 0);
}

// Holds the UI thread in a call until released, as a slow paint or a modal loop would.
class held_ui_thread {
public:
    explicit held_ui_thread(window_host& host) : host_(host)
    {
        thread_ = std::thread([this] {
            host_.on_ui([this](main_dialog&) {
                SetEvent(entered_);
                WaitForSingleObject(release_, INFINITE);
                return 0;
            });
        });
        WaitForSingleObject(entered_, INFINITE);
    }
    void release()
    {
        if (thread_.joinable()) {
            SetEvent(release_);
            thread_.join();
        }
    }
    ~held_ui_thread()
    {
        release();
        CloseHandle(entered_);
        CloseHandle(release_);
    }

private:
    window_host& host_;
    HANDLE entered_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE release_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread thread_;
};

TEST(MainDialog, AFloodOfUpdatesKeepsTheQueueShortTheLastValuesAndTheOrderAroundOtherPosts)
{
    window_host host;
    host.start(install_type_install);
    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    auto& ui = host.ui();

    // Far more updates than a thread's message queue holds, while the UI thread takes none.
    constexpr int files = 30000;
    std::size_t peak = 0;
    {
        held_ui_thread held(host);
        ui.set_progress_range(files);
        for (int i = 0; i < files; ++i) {
            ui.set_status(L"file " + std::to_wstring(i));
            ui.set_progress(static_cast<std::uint32_t>(i + 1));
            if (i % 1000 == 0)
                ui.set_progress(indeterminate_progress);
            peak = std::max(peak, Ostrel::windows::impl::details::pending_ui_returns());
        }
        ui.enable_cancel(false);
    }
    EXPECT_LE(peak, 2u);
    struct state {
        int position, high;
        bool marquee;
        std::wstring status;
        bool cancel_allowed;
    };
    const state s = host.on_ui([](main_dialog& d) {
        return state{static_cast<int>(SendMessageW(d.progress_bar(), PBM_GETPOS, 0, 0)),
                     static_cast<int>(SendMessageW(d.progress_bar(), PBM_GETRANGE, FALSE, 0)), d.marquee(),
                     d.status_text(), d.cancel_allowed()};
    });
    EXPECT_EQ(s.position, files);
    EXPECT_EQ(s.high, files);
    EXPECT_FALSE(s.marquee);
    EXPECT_EQ(s.status, L"file " + std::to_wstring(files - 1));
    EXPECT_FALSE(s.cancel_allowed);

    // Within one pending update: a marquee after a position stays; a position ends the marquee even
    // when a new range then resets it.
    {
        held_ui_thread held(host);
        ui.set_progress(5);
        ui.set_progress(indeterminate_progress);
    }
    EXPECT_TRUE(host.on_ui([](main_dialog& d) { return d.marquee(); }));
    {
        held_ui_thread held(host);
        ui.set_progress(6);
        ui.set_progress_range(50);
    }
    const state r = host.on_ui([](main_dialog& d) {
        return state{static_cast<int>(SendMessageW(d.progress_bar(), PBM_GETPOS, 0, 0)),
                     static_cast<int>(SendMessageW(d.progress_bar(), PBM_GETRANGE, FALSE, 0)), d.marquee(), {}, false};
    });
    EXPECT_EQ(r.high, 50);
    EXPECT_EQ(r.position, 0);
    EXPECT_FALSE(r.marquee);

    // A status made after the run's end arrives after the completion page (which clears the status),
    // one made before it does not survive it.
    {
        held_ui_thread held(host);
        ui.set_status(std::wstring(L"before the end"));
        const std::size_t before = Ostrel::windows::impl::details::pending_ui_returns();
        host.run.succeed();
        // The completion page's post is made (from whichever thread the run's end resumes it on).
        ASSERT_TRUE(wait_until([&] { return Ostrel::windows::impl::details::pending_ui_returns() > before; }));
        ui.set_status(std::wstring(L"after the end"));
    }
    ASSERT_TRUE(wait_until([&] { return GetDlgItem(host.window, 1035) != nullptr; }));
    EXPECT_EQ(host.on_ui([](main_dialog& d) { return d.status_text(); }), L"after the end");
    PostMessageW(host.window, WM_COMMAND, 1035, 0);
    ASSERT_TRUE(host.ended());
}

struct outcome_case {
    const char* name;
    std::function<void(test_run&)> end;
    std::wstring expected_code;
};

TEST(MainDialog, EveryKindOfFailureShowsTheFailurePageWithItsCode)
{
    const std::vector<outcome_case> cases = {
        {"hresult", [](test_run& r) { r.fail(tavik::details::hresult_error(static_cast<HRESULT>(0x80070005))); },
         L"0x80070005"},
        {"traceable", [](test_run& r) { r.fail(tavik::details::traceable_error(static_cast<HRESULT>(0x80070070))); },
         L"0x80070070"},
        {"cancelled", [](test_run& r) { r.fail(tavik::details::make_operation_cancelled()); }, L"0x800704c7"},
        {"elevated copy cancelled", [](test_run& r) { r.fail(installation_exception(installation_cancelled)); },
         L"0x80004004"},
        {"installation failed", [](test_run& r) { r.fail(installation_exception(installation_failed)); }, L"0x80004005"},
        {"no memory", [](test_run& r) { r.fail(std::bad_alloc()); }, L"0x8007000e"},
        {"other", [](test_run& r) { r.fail(std::runtime_error("x")); }, L"0x80004005"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        window_host host;
        host.start(install_type_install);
        PostMessageW(host.window, WM_COMMAND, IDOK, 0);
        ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
        c.end(host.run);
        ASSERT_TRUE(wait_until([&] { return page_of(host).starts_with(L"Setup has failed"); })) << c.name;
        if (std::string_view(c.name) == "hresult")
            save_screenshot(host.window, L"failure-page");
        const std::wstring page = page_of(host);
        EXPECT_NE(page.find(L"(" + c.expected_code + L")]]]"), std::wstring::npos) << page.c_str();
        auto buttons = buttons_of(host);
        ASSERT_EQ(buttons.size(), 1u);
        EXPECT_EQ(buttons[0].id, 1035);
        EXPECT_TRUE(buttons[0].enabled);
        EXPECT_EQ(host.on_ui([](main_dialog& d) { return d.check_boxes().size(); }), 0u);
        PostMessageW(host.window, WM_COMMAND, 1035, 0);
        ASSERT_TRUE(host.ended());
        EXPECT_EQ(host.exit_code, 0);
    }
}

TEST(MainDialog, ACancelledRunClosesTheWindowWhateverItsErrorType)
{
    window_host host;
    host.start(install_type_install);
    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    PostMessageW(host.window, WM_CLOSE, 0, 0);
    ASSERT_TRUE(wait_until([&] { return !host.ui().set_progress(1); }));
    // The elevated copy ends with 9 when cancelled.
    host.run.fail(installation_exception(installation_cancelled));
    ASSERT_TRUE(host.ended());
    EXPECT_EQ(host.exit_code, 0);
}

TEST(MainDialog, SuccessPagesOfferWhatEachTypeHas)
{
    struct success_case {
        std::int32_t type;
        std::wstring text;
        std::vector<std::wstring> boxes;
    };
    const std::vector<success_case> cases = {
        {install_type_install, L"Quvan [[[bFolder Dedup\u00A02.05]]] has been successfully installed.",
         {L"Launch Folder Dedup", L"Release notes {0}"}},
        {install_type_upgrade, L"[[[bFolder Dedup]]] has been successfully upgraded to version 2.5.1.",
         {L"Launch Folder Dedup", L"Release notes {0}"}},
        {install_type_update, L"Quvan [[[bFolder Dedup\u00A02.05]]] has been successfully updated.",
         {L"Launch Folder Dedup"}},
        {install_type_uninstall, L"Quvan [[[bFolder Dedup\u00A02.05]]] has been successfully removed from your system.",
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        window_host host;
        // Not a valid format: shown as it is.
        host.pkg.properties().set(L"FinishURLLabel", L"Release notes {0");
        host.start(c.type);
        PostMessageW(host.window, WM_COMMAND, c.type == install_type_update ? 1032 : 1, 0);
        if (c.type == install_type_update) {
            // Configure's page: the uninstall button turns the run into an uninstall.
            ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
            EXPECT_EQ(host.pkg.options().type, install_type_uninstall);
            host.run.succeed();
            ASSERT_TRUE(wait_until([&] { return page_of(host).find(L"removed") != std::wstring::npos; }));
            PostMessageW(host.window, WM_COMMAND, 1035, 0);
            ASSERT_TRUE(host.ended());
            continue;
        }
        ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
        host.run.succeed();
        ASSERT_TRUE(wait_until([&] { return page_of(host) == c.text; })) << page_of(host).c_str();
        auto boxes = host.on_ui([](main_dialog& d) {
            std::vector<std::wstring> out;
            for (HWND b : d.check_boxes()) {
                out.push_back(window_text(b));
                EXPECT_EQ(SendMessageW(b, BM_GETCHECK, 0, 0), BST_CHECKED);
            }
            return out;
        });
        const std::vector<std::wstring> expected_boxes =
            c.type == install_type_install || c.type == install_type_upgrade
                ? std::vector<std::wstring>{L"Launch Folder Dedup", L"Release notes {0"}
                : c.boxes;
        EXPECT_EQ(boxes, expected_boxes);
        EXPECT_FALSE(host.on_ui([](main_dialog& d) { return IsWindowVisible(d.progress_bar()) != FALSE; }));
        PostMessageW(host.window, WM_COMMAND, 1035, 0);
        ASSERT_TRUE(host.ended());
        EXPECT_EQ(host.exit_code, 0);
    }
}

TEST(MainDialog, CloseLaunchesEveryRunOnFinishPieceAndTheReleaseNotes)
{
    window_host host;
    std::vector<std::pair<std::wstring, std::wstring>> opened;
    host.hooks.open_document = [&](const std::wstring& file, const std::wstring* folder) {
        opened.emplace_back(file, folder ? *folder : L"<none>");
    };
    host.pkg.properties().set(L"RunOnFinish", L"a.exe,,b.exe");
    host.pkg.properties().set(L"INSTALLDIR", L"C:\\Apps\\Dedup\\");
    host.pkg.properties().set(L"FinishReleaseNotes", L"https://example.invalid/notes");
    host.start(install_type_install);
    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    host.run.succeed();
    ASSERT_TRUE(wait_until([&] { return page_of(host).find(L"installed") != std::wstring::npos; }));
    SetEnvironmentVariableW(L"__COMPAT_LAYER", L"RunAsInvoker");
    PostMessageW(host.window, WM_COMMAND, 1035, 0);
    ASSERT_TRUE(host.ended());
    EXPECT_EQ(opened, (std::vector<std::pair<std::wstring, std::wstring>>{{L"a.exe", L"C:\\Apps\\Dedup\\"},
                                                                           {L"", L"C:\\Apps\\Dedup\\"},
                                                                           {L"b.exe", L"C:\\Apps\\Dedup\\"},
                                                                           {L"https://example.invalid/notes", L"<none>"}}));
    EXPECT_EQ(GetEnvironmentVariableW(L"__COMPAT_LAYER", nullptr, 0), 0u);
}

TEST(MainDialog, ARequiredRebootCountsDownAndRebootsAfterThirtyTicks)
{
    window_host host;
    std::atomic<int> reboots{0};
    std::atomic<std::uint32_t> flags{0};
    host.hooks.exit_windows = [&](std::uint32_t f) {
        flags = f;
        ++reboots;
        return true;
    };
    host.start(install_type_install);
    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    host.run.fail(installation_exception(installation_reboot_required));
    ASSERT_TRUE(wait_until([&] { return page_of(host).find(L"Reboot is required") != std::wstring::npos; }));
    auto buttons = buttons_of(host);
    ASSERT_EQ(buttons.size(), 2u);
    EXPECT_EQ(buttons[0].id, 1036);
    EXPECT_EQ(buttons[0].text, L"Reboot Now (30 s)");
    save_screenshot(host.window, L"reboot-page");
    EXPECT_EQ(buttons[1].id, 1035);
    EXPECT_EQ(host.on_ui([](main_dialog& d) { return d.check_boxes().size(); }), 0u);
    EXPECT_EQ(LOWORD(host.on_ui([](main_dialog& d) { return SendMessageW(d.window(), DM_GETDEFID, 0, 0); })), 1036);
    // The ticks by hand (the window's own timer runs too, but far slower).
    host.on_ui([](main_dialog& d) {
        KillTimer(d.window(), 0);
        return 0;
    });
    for (int i = 0; i < 29; ++i)
        SendMessageW(host.window, WM_TIMER, 0, 0);
    EXPECT_EQ(window_text(GetDlgItem(host.window, 1036)), L"Reboot Now (2 s)");
    EXPECT_EQ(reboots, 0);
    // The thirtieth tick shows 1 and presses the button, which reboots and closes the window.
    SendMessageW(host.window, WM_TIMER, 0, 0);
    ASSERT_TRUE(host.ended());
    EXPECT_EQ(reboots, 1);
    EXPECT_EQ(flags, static_cast<std::uint32_t>(EWX_REBOOT));
}

TEST(MainDialog, YesPassesTheFirstPageAndClosesTheEndWithoutRebooting)
{
    window_host host;
    std::atomic<int> reboots{0};
    host.hooks.exit_windows = [&](std::uint32_t) { return ++reboots, true; };
    host.pkg.options().yes = true;
    host.start(install_type_install);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    host.run.fail(installation_exception(installation_reboot_required));
    ASSERT_TRUE(host.ended());
    EXPECT_EQ(reboots, 0);
    EXPECT_EQ(host.exit_code, 0);

    window_host os;
    os.pkg.options().yes = true;
    os.start(install_type_windows_too_old);
    ASSERT_TRUE(os.ended());
    EXPECT_EQ(os.exit_code, 9);
}

TEST(MainDialog, ASharingViolationEndsWithTheLockedFilesPrompt)
{
    window_host host;
    std::atomic<int> prompts{0};
    host.hooks.prompt_continue_after_reboot = [&](HWND owner) {
        EXPECT_EQ(owner, host.window.load());
        ++prompts;
    };
    host.start(install_type_install);
    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    host.run.fail(tavik::details::hresult_error(static_cast<HRESULT>(0x80070020)));
    ASSERT_TRUE(host.ended());
    EXPECT_EQ(prompts, 1);
}

TEST(MainDialog, AFailedStartUpIsReportedAndEndsWithFour)
{
    for (HRESULT error : {static_cast<HRESULT>(0x80070002), E_ABORT}) {
        window_host host;
        std::vector<HRESULT> shown;
        host.hooks.wait_ready = [error] { throw tavik::details::hresult_error(error); };
        host.hooks.show_start_failure = [&](HWND, HRESULT code) { shown.push_back(code); };
        host.start(install_type_install);
        ASSERT_TRUE(host.ended());
        EXPECT_EQ(host.exit_code, 4);
        EXPECT_EQ(shown.size(), error == E_ABORT ? 0u : 1u);
    }
}

TEST(MainDialog, WarningDialogStandsBeforeTheRunAndItsCancelStartsNothing)
{
    window_host host;
    host.pkg.properties().set(L"WarningTextHeader", L"Close your programs");
    host.pkg.properties().set(L"WarningText", L"Setup restarts Explorer.");
    host.start(install_type_install);
    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    HWND warning = nullptr;
    ASSERT_TRUE(wait_until([&] { return (warning = find_shown_dialog(L"Close your programs")) != nullptr; }));
    HWND go = GetDlgItem(warning, IDOK);
    EXPECT_FALSE(IsWindowEnabled(go));
    EXPECT_EQ(window_text(GetDlgItem(warning, 1002)), L"I've saved all my work and want to continue setup");
    EXPECT_EQ(window_text(GetDlgItem(warning, 1014)), L"Setup restarts Explorer.");
    PostMessageW(GetDlgItem(warning, 1002), BM_CLICK, 0, 0);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(go) != FALSE; }));
    PostMessageW(GetDlgItem(warning, 1002), BM_CLICK, 0, 0);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(go) == FALSE; }));
    PostMessageW(warning, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(wait_until([&] { return !IsWindow(warning); }));
    EXPECT_EQ(host.run.starts, 0);
    EXPECT_FALSE(host.on_ui([](main_dialog& d) { return d.busy(); }));

    PostMessageW(host.window, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return (warning = find_shown_dialog(L"Close your programs")) != nullptr; }));
    PostMessageW(GetDlgItem(warning, 1002), BM_CLICK, 0, 0);
    ASSERT_TRUE(wait_until([&] { return IsWindowEnabled(GetDlgItem(warning, IDOK)) != FALSE; }));
    PostMessageW(warning, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    host.run.succeed();
    ASSERT_TRUE(wait_until([&] { return page_of(host).find(L"installed") != std::wstring::npos; }));
    PostMessageW(host.window, WM_COMMAND, 1035, 0);
    ASSERT_TRUE(host.ended());
}

TEST(LicenseDialog, ShowsAPlainDocumentWithoutForeignBytesAndClosesOnlyOnClose)
{
    LoadLibraryW(L"RICHED20.DLL");
    std::atomic<HWND> dialog{nullptr};
    std::thread shown([] { show_license("Plain license text", nullptr); });
    struct joiner {
        std::thread& t;
        std::atomic<HWND>& d;
        ~joiner()
        {
            if (HWND w = d.load())
                PostMessageW(w, WM_COMMAND, IDCANCEL, 0);
            t.join();
        }
    } join{shown, dialog};
    ASSERT_TRUE(wait_until([&] { return (dialog = find_shown_dialog(L"End User License Agreement")) != nullptr; }));
    HWND text = GetDlgItem(dialog, 1014);
    ASSERT_TRUE(wait_until([&] { return GetWindowTextLengthW(text) > 0; }));
    EXPECT_EQ(window_text(text), L"Plain license text");
    save_screenshot(dialog, L"license-dialog");
    EXPECT_TRUE(GetWindowLongW(text, GWL_STYLE) & ES_READONLY);
    // A notification of the control, or another id, does not close it.
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(1014, EN_SETFOCUS), reinterpret_cast<LPARAM>(text));
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(IDCANCEL, 1), 0);
    Sleep(200);
    EXPECT_TRUE(IsWindow(dialog));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(wait_until([&] { return !IsWindow(dialog); }));
    dialog = nullptr;
}

TEST(MainDialog, LicenseDocumentIsTerminatedAndItsCodePageChosen)
{
    auto plain = license_document("abc");
    EXPECT_EQ(plain.first, std::string("abc\0\0", 5));
    EXPECT_EQ(plain.second, static_cast<UINT>(CP_ACP));
    auto wide = license_document(std::string("\xFF\xFE" "a\0", 4));
    EXPECT_EQ(wide.second, 1200u);
    EXPECT_EQ(wide.first.size(), 6u);
    auto rtf = license_document("{\\rtf1 x}");
    EXPECT_EQ(rtf.first, std::string("{\\rtf1 x}\0\0", 11));
    auto empty = license_document("");
    EXPECT_EQ(empty.first, std::string("\0\0", 2));
}

} // namespace

namespace {

TEST(MainDialog, CustomizeOkStartsTheRunWithTheChosenFolderAndCancelKeepsThePage)
{
    window_host host;
    host.pkg.properties().set(L"INSTALLDIR", L"C:\\Default\\");
    host.hooks.customize.drive_type = [](const std::wstring&) { return UINT(DRIVE_FIXED); };
    host.start(install_type_install);
    PostMessageW(host.window, WM_COMMAND, 1031, 0);
    HWND dialog = nullptr;
    ASSERT_TRUE(wait_until([&] { return (dialog = find_shown_dialog(L"Customize Installation")) != nullptr; }));
    PostMessageW(dialog, WM_COMMAND, IDCANCEL, 0);
    ASSERT_TRUE(wait_until([&] { return !IsWindow(dialog); }));
    EXPECT_EQ(host.run.starts, 0);

    PostMessageW(host.window, WM_COMMAND, 1031, 0);
    ASSERT_TRUE(wait_until([&] { return (dialog = find_shown_dialog(L"Customize Installation")) != nullptr; }));
    SendMessageW(GetDlgItem(dialog, 1005), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"C:\\Chosen"));
    PostMessageW(dialog, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(wait_until([&] { return host.run.ui.load() != nullptr; }));
    EXPECT_EQ(host.pkg.get_property(L"INSTALLDIR", false), L"C:\\Chosen\\");
    host.run.succeed();
    ASSERT_TRUE(wait_until([&] { return page_of(host).find(L"installed") != std::wstring::npos; }));
    PostMessageW(host.window, WM_COMMAND, 1035, 0);
    ASSERT_TRUE(host.ended());
}

} // namespace
