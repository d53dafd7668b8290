#include "ui_driver.h"

#include <plendor/commands/progress_dlg.h>

#include <ostrel/windows/async_context.h>
#include <ostrel/scope_guards.h>

#include <gtest/gtest.h>

#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <thread>

namespace {

using namespace ui_test;


void pump_for(int ms)
{
    pump_until([] { return false; }, ms);
}

class ProgressDialog : public testing::Test {
protected:
    Ostrel::windows::unhook_windows_hook hook_ = Ostrel::windows::impl::install_ui_return_hook();
    owner_window owner_{100, 100, 600, 400};
    std::uint64_t now_ = 133'000'000'000'000'000ull;
    progress_clock clock() { return [this] { return now_; }; }

    static int position(const progress_dlg& d)
    {
        return static_cast<int>(SendMessageW(GetDlgItem(d.window(), IDC_PROGRESS_BAR), PBM_GETPOS, 0, 0));
    }
    static bool bar_marquee(const progress_dlg& d)
    {
        return (GetWindowLongPtrW(GetDlgItem(d.window(), IDC_PROGRESS_BAR), GWL_STYLE) & PBS_MARQUEE) != 0;
    }
};

TEST_F(ProgressDialog, HiddenForItsFirst300MsThenShownWithTheOwnerDisabled)
{
    const auto start = std::chrono::steady_clock::now();
    auto d = make_progress_dlg(owner_.get(), L"Folder Optimization");
    ASSERT_TRUE(d);
    EXPECT_FALSE(IsWindowVisible(d->window()));
    EXPECT_FALSE(IsWindowEnabled(owner_.get()));
    EXPECT_EQ(window_text(d->window()), L"Folder Optimization");
    ASSERT_TRUE(pump_until([&] { return IsWindowVisible(d->window()) != FALSE; }));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(290));
    EXPECT_EQ(d->stage_text(), L"Preparing\u2026");
    EXPECT_EQ(d->time_left_text(), L"Estimating the time to complete operation\u2026");
    d.reset();
    EXPECT_TRUE(IsWindowEnabled(owner_.get()));
}

TEST_F(ProgressDialog, ReleasedWithin300MsItIsNeverShown)
{
    auto d = make_progress_dlg(owner_.get(), L"Quick");
    HWND w = d->window();
    pump_for(100);
    EXPECT_FALSE(IsWindowVisible(w));
    d.reset();
    EXPECT_FALSE(IsWindow(w));
    EXPECT_TRUE(IsWindowEnabled(owner_.get()));
}

TEST_F(ProgressDialog, MarqueeAndRange)
{
    auto d = make_progress_dlg(owner_.get(), L"Bars", {}, clock());
    EXPECT_TRUE(d->marquee());
    EXPECT_TRUE(bar_marquee(*d));
    d->set_stage(L"Searching");
    d->set_progress(5, 0); // no total: stays marquee, nothing stored
    EXPECT_TRUE(bar_marquee(*d));
    EXPECT_EQ(d->total(), 0u);
    d->set_progress(25, 100);
    EXPECT_FALSE(bar_marquee(*d));
    EXPECT_EQ(position(*d), 25000);
    d->set_progress(3, 0); // back to marquee, the last done and total kept
    EXPECT_TRUE(bar_marquee(*d));
    EXPECT_EQ(d->done(), 25u);
    EXPECT_EQ(d->total(), 100u);
    d->set_progress(1, 3);
    EXPECT_FALSE(bar_marquee(*d));
    EXPECT_EQ(position(*d), 33333);
    d->set_progress(150, 100); // done above total
    EXPECT_EQ(position(*d), 100000);
    d->set_progress(~0ull, 1); // far above: no overflow into a negative position
    EXPECT_EQ(position(*d), 100000);
    EXPECT_EQ(d->stage_text(), L"Searching");
}

TEST_F(ProgressDialog, EstimateUnderAnInjectedClock)
{
    auto d = make_progress_dlg(owner_.get(), L"Estimate", {}, clock());
    const std::wstring estimating = d->time_left_text();
    // Steady progress of 2 units a second toward 1000.
    auto tick = [&](std::uint64_t seconds_since_start) {
        now_ = 133'000'000'000'000'000ull + seconds_since_start * 10'000'000ull;
        d->set_progress(seconds_since_start * 2, 1000);
        d->update_estimate();
    };
    tick(5);
    EXPECT_EQ(d->time_left_text(), estimating);
    tick(10); // exactly ten seconds: not yet
    EXPECT_EQ(d->time_left_text(), estimating);
    tick(15); // (1000 - 30) / 2 per second
    EXPECT_EQ(d->time_left_text(), L"About 8 minutes 5 seconds left");
    tick(20); // against the sample of 15 s earlier
    EXPECT_EQ(d->time_left_text(), L"About 8 minutes 0 seconds left");
    // A stall: once every sample in the ring is from the stall, the text stays.
    for (int i = 0; i < 3; ++i) {
        now_ += 5 * 10'000'000ull;
        d->update_estimate();
    }
    const std::wstring after_stall = d->time_left_text();
    now_ += 5 * 10'000'000ull;
    d->update_estimate();
    EXPECT_EQ(d->time_left_text(), after_stall);
    // Done has reached total: no estimate.
    d->set_progress(1000, 1000);
    now_ += 10 * 10'000'000ull;
    d->update_estimate();
    EXPECT_EQ(d->time_left_text(), after_stall);
}

TEST_F(ProgressDialog, ReportsWithoutATotalNeverEstimate)
{
    auto d = make_progress_dlg(owner_.get(), L"No total", {}, clock());
    for (int i = 1; i <= 6; ++i) {
        now_ += 5 * 10'000'000ull;
        d->set_stage(L"Stage " + std::to_wstring(i));
        d->set_progress(i * 100, 0);
        d->update_estimate();
    }
    EXPECT_TRUE(bar_marquee(*d));
    EXPECT_EQ(d->time_left_text(), L"Estimating the time to complete operation\u2026");
}

TEST_F(ProgressDialog, CancelWithAndWithoutAnAction)
{
    int cancels = 0;
    auto with = make_progress_dlg(owner_.get(), L"With", [&] { ++cancels; });
    HWND button = GetDlgItem(with->window(), IDCANCEL);
    EXPECT_TRUE(IsWindowEnabled(button));
    PostMessageW(with->window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), reinterpret_cast<LPARAM>(button));
    ASSERT_TRUE(pump_until([&] { return cancels == 1; }));
    EXPECT_FALSE(IsWindowEnabled(button));
    EXPECT_EQ(window_text(button), L"Canceling\u2026");
    EXPECT_TRUE(IsWindow(with->window())); // the dialog stays until its owner drops it
    with.reset();

    auto without = make_progress_dlg(owner_.get(), L"Without");
    HWND disabled = GetDlgItem(without->window(), IDCANCEL);
    EXPECT_FALSE(IsWindowEnabled(disabled));
    PostMessageW(without->window(), WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);
    pump_for(50);
    EXPECT_TRUE(IsWindow(without->window()));
    EXPECT_EQ(window_text(disabled), L"Cancel");
    without.reset();
    EXPECT_TRUE(IsWindowEnabled(owner_.get()));
}

TEST_F(ProgressDialog, ReportsFromAnotherThreadAreCoalescedAndTheLastArrives)
{
    auto d = make_progress_dlg(owner_.get(), L"Flood", {}, clock());
    std::atomic<bool> finished{false};
    constexpr std::uint64_t count = 100'000;
    std::thread reporter([&] {
        for (std::uint64_t i = 1; i <= count; ++i) {
            if (i % 1000 == 0)
                d->set_stage(L"Stage " + std::to_wstring(i / 1000));
            d->set_progress(i, count);
        }
        finished = true;
    });
    // The window answers while the reports arrive.
    int answered = 0;
    while (!finished) {
        DWORD_PTR result = 0;
        if (SendMessageTimeoutW(d->window(), WM_NULL, 0, 0, SMTO_NORMAL, 1000, &result))
            ++answered;
        pump_for(1);
    }
    reporter.join();
    ASSERT_TRUE(pump_until([&] { return d->done() == count; }));
    EXPECT_EQ(position(*d), 100000);
    EXPECT_EQ(d->stage_text(), L"Stage 100");
    EXPECT_LT(d->posted_returns(), count / 2);
    EXPECT_GT(answered, 0);
}

TEST_F(ProgressDialog, AReportAfterTheDialogIsGoneIsDropped)
{
    auto d = make_progress_dlg(owner_.get(), L"Gone");
    std::thread reporter([&] { d->set_progress(1, 2); });
    reporter.join();
    d.reset(); // the posted return finds nothing
    pump_for(50);
    SUCCEED();
}

} // namespace
