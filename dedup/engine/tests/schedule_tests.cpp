// The background schedule of a folder: the intervals it waits, the purge options of each run, and
// the schedule of a real folder driven by a fake clock that runs "hours" in a millisecond each.
#include <dedup/engine/root_folder.h>
#include <dedup/engine/schedule.h>
#include <dedup/engine/store_names.h>
#include <dedup/engine/tests/optimize_test_support.h>

#include <platform/projfs/availability.h>
#include <platform/projfs/projfs.h>

#include <ostrel/com/ptr.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <mutex>
#include <thread>
#include <utility>
#include <variant>
#include <vector>

namespace {

using namespace dedup::testing;
using dedup::impl::first_schedule_interval;
using dedup::impl::next_schedule_interval;
using dedup::impl::root_folder;
using dedup::impl::schedule_interval_factor;
using dedup::impl::scheduled_purge_options;

constexpr std::int64_t minute = 600'000'000;
constexpr std::int64_t hour = 60 * minute;
constexpr std::int64_t day = 24 * hour;

TEST(ScheduleIntervals, FactorOfEachAmountOfChange)
{
    struct row {
        std::uint32_t changes;
        double factor;
    };
    const row rows[] = {
        {0, 1.4},  {9, 1.038889}, {50, 1.038889}, {99, 1.038889}, {999, 2.0 / 3},
        {5000, 2.0 / 3}, {0xFFFFFFFFu, 2.0 / 3},
    };
    for (const row& r : rows)
        EXPECT_NEAR(schedule_interval_factor(r.changes), r.factor, 5e-7) << r.changes << " changes";
    // Between the plateaus the factor falls as the changes grow.
    double previous = schedule_interval_factor(0);
    for (std::uint32_t changes : {1u, 3u, 9u, 120u, 400u, 999u}) {
        const double factor = schedule_interval_factor(changes);
        EXPECT_LE(factor, previous + 1e-12) << changes << " changes";
        previous = factor;
    }
}

TEST(ScheduleIntervals, NextIntervalGrowsShrinksAndStaysWithinItsLimits)
{
    // No changes: an hour becomes about 84 minutes, then about 118, growing by 1.4 until 24 hours.
    std::int64_t interval = dedup::impl::schedule_first_auto_interval;
    interval = next_schedule_interval(interval, 0);
    EXPECT_EQ(interval, 84 * minute);
    interval = next_schedule_interval(interval, 0);
    EXPECT_NEAR(double(interval) / minute, 117.6, 1e-6);
    for (int i = 0; i < 20; ++i)
        interval = next_schedule_interval(interval, 0);
    EXPECT_EQ(interval, day);

    // Many changes: two thirds each time, down to 15 minutes, and there it stays.
    interval = hour;
    interval = next_schedule_interval(interval, 1000);
    EXPECT_EQ(interval, 40 * minute);
    for (int i = 0; i < 10; ++i)
        interval = next_schedule_interval(interval, 1000);
    EXPECT_EQ(interval, 15 * minute);

    // Whatever comes in, the result is within the limits, never wrapped.
    for (std::int64_t current : {std::int64_t(0), std::int64_t(1), 14 * minute, 2 * day, INT64_MAX / 2, INT64_MAX}) {
        for (std::uint32_t changes : {0u, 50u, 100000u}) {
            const std::int64_t next = next_schedule_interval(current, changes);
            EXPECT_GE(next, 15 * minute) << current << " " << changes;
            EXPECT_LE(next, day) << current << " " << changes;
        }
    }
}

TEST(ScheduleIntervals, FirstInterval)
{
    const dedup::period_t off = dedup::disabled_t{};
    const dedup::period_t automatic = dedup::auto_t{};
    EXPECT_EQ(first_schedule_interval(automatic, off), hour);
    EXPECT_EQ(first_schedule_interval(automatic, dedup::period_duration(day)), hour);
    EXPECT_EQ(first_schedule_interval(dedup::period_duration(2 * hour), dedup::period_duration(day)), 2 * hour);
    EXPECT_EQ(first_schedule_interval(off, dedup::period_duration(day)), day);
    EXPECT_THROW(first_schedule_interval(off, off), std::bad_variant_access);
}

TEST(ScheduleIntervals, PurgeOptionsFollowTheGarbageCollectionPeriod)
{
    const std::uint64_t start = 133'000'000'000'000'000;
    std::uint64_t last = start;
    EXPECT_EQ(scheduled_purge_options(dedup::disabled_t{}, start + 10 * day, last).bits(), 1u);
    EXPECT_EQ(last, start);

    const dedup::period_t gc = dedup::period_duration(day);
    // Every two hours: the cache each time, the blocks too on the first run past a day.
    std::vector<unsigned> sent;
    for (int run = 1; run <= 26; ++run)
        sent.push_back(scheduled_purge_options(gc, start + run * 2 * hour, last).bits());
    for (int run = 1; run <= 26; ++run)
        EXPECT_EQ(sent[run - 1], run == 13 || run == 26 ? 3u : 1u) << "run " << run;

    // A clock set back passes no time.
    last = start;
    EXPECT_EQ(scheduled_purge_options(gc, start - 2 * day, last).bits(), 1u);
    EXPECT_EQ(last, start);
}

// A fake time that moves on by every interval the schedule waits for, each wait lasting a
// millisecond of real time. Records the intervals.
class fast_clock final : public dedup::impl::schedule_clock {
public:
    std::uint64_t now() noexcept override { return time_.load(); }
    tavik::details::timer_duration timer_wait(std::int64_t ticks) noexcept override
    {
        {
            std::lock_guard guard(mutex_);
            waits_.push_back(ticks);
        }
        time_ += static_cast<std::uint64_t>(ticks);
        return real_wait;
    }
    std::vector<std::int64_t> waits()
    {
        std::lock_guard guard(mutex_);
        return waits_;
    }
    bool wait_until(std::size_t count)
    {
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (waits().size() < count) {
            if (std::chrono::steady_clock::now() > until)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    tavik::details::timer_duration real_wait = std::chrono::milliseconds(1);

private:
    std::atomic<std::uint64_t> time_{133'000'000'000'000'000};
    std::mutex mutex_;
    std::vector<std::int64_t> waits_;
};

class Schedule : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(projfs::available()); }
    void TearDown() override
    {
        if (instance_)
            PrjStopVirtualizing(instance_);
        root_ = nullptr;
    }

    void start(dedup::period_t optimize_period, dedup::period_t gc_period)
    {
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        options.schedule_time = &clock_;
        root_ = Ostrel::com::make<root_folder>(source_, options);
        dedup::create_params params;
        params.optimize_period = optimize_period;
        params.gc_period = gc_period;
        ASSERT_EQ(root_->create(folder_, params), std::error_code());
        GUID id{0x0c710000u + GetCurrentProcessId(), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        PrjMarkDirectoryAsPlaceholder(folder_.c_str(), nullptr, nullptr, &id);
        PRJ_CALLBACKS callbacks{};
        ASSERT_EQ(PrjStartVirtualizing(folder_.c_str(), &callbacks, nullptr, nullptr, &instance_), S_OK);
        root_->set_virtualization_context(instance_);
    }

    std::wstring store_path() const { return dedup::store_folder_path(folder_); }

    fast_clock clock_;
    tavik::details::cancellation_source source_;
    temp_folder base_;
    std::wstring folder_ = base_ / L"Served";
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT instance_ = nullptr;
    Ostrel::com::ptr<root_folder> root_;
};

TEST_F(Schedule, AutomaticPeriodTakesFilesInAndAdaptsItsInterval)
{
    start(dedup::auto_t{}, dedup::period_duration(day));
    write_file(folder_ + L"\\a.txt", bytes(5000, std::byte{'a'}));
    write_file(folder_ + L"\\b.txt", bytes(7000, std::byte{'b'}));
    // The schedule runs from the start, a millisecond a run, and on a loaded machine it can have
    // run its eight times while the files were still being written. A run under way now may have
    // found them half written; the one after it takes them in and the one after that finds
    // nothing to do.
    const std::size_t written = clock_.waits().size();
    ASSERT_TRUE(clock_.wait_until(std::max<std::size_t>(8, written + 3)));
    root_ = nullptr;  // ends the schedule and waits for it

    // An hour first; each next interval follows from the one before and the changes of the run
    // between (the files may come in over the first runs); once both are in, runs change nothing.
    const auto waits = clock_.waits();
    EXPECT_EQ(waits[0], hour);
    for (std::size_t i = 1; i < waits.size(); ++i) {
        const bool follows = waits[i] == next_schedule_interval(waits[i - 1], 0) ||
                             waits[i] == next_schedule_interval(waits[i - 1], 1) ||
                             waits[i] == next_schedule_interval(waits[i - 1], 2);
        EXPECT_TRUE(follows) << "wait " << i << ": " << waits[i] << " after " << waits[i - 1];
    }
    EXPECT_EQ(waits.back(), next_schedule_interval(waits[waits.size() - 2], 0));
    EXPECT_GT(waits.back(), hour);

    auto image = load_store_image(store_path());
    EXPECT_EQ(recount_differences(image), "");
    EXPECT_EQ(stored_content(image, L"a.txt"), bytes(5000, std::byte{'a'}));
    EXPECT_EQ(stored_content(image, L"b.txt"), bytes(7000, std::byte{'b'}));
}

TEST_F(Schedule, OptimizationsOffRunsOncePerGarbageCollectionPeriod)
{
    start(dedup::disabled_t{}, dedup::period_duration(day));
    ASSERT_TRUE(clock_.wait_until(3));
    root_ = nullptr;
    for (std::int64_t wait : clock_.waits())
        EXPECT_EQ(wait, day);
}

TEST_F(Schedule, BothPeriodsOffStartsNoSchedule)
{
    start(dedup::disabled_t{}, dedup::disabled_t{});
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_TRUE(clock_.waits().empty());
}

TEST_F(Schedule, ABusyFolderIsTriedAgainEveryTenSeconds)
{
    // A client's optimize holds the folder: its progress stops on the first stage until released.
    clock_.real_wait = std::chrono::milliseconds(20);
    start(dedup::period_duration(2 * hour), dedup::disabled_t{});
    write_file(folder_ + L"\\a.txt", bytes(5000, std::byte{'a'}));
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE holding = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    tavik::details::cancellation_source client;
    auto hold = [&] {
        return root_->optimize(client, 5, {}, [&](const std::wstring& stage, std::uint64_t, std::uint64_t) {
            if (!stage.empty()) {
                SetEvent(holding);
                WaitForSingleObject(release, INFINITE);
            }
        });
    };
    constexpr long busy = static_cast<long>(0x80070420);
    // The schedule may be running when the client asks: the client is then told the folder is
    // busy, and asks again.
    auto held = hold();
    for (int attempt = 0; WaitForSingleObject(holding, 10) != WAIT_OBJECT_0;) {
        if (held.is_ready()) {
            const auto refused = tavik::details::wait_blocking_result(std::move(held));
            ASSERT_FALSE(refused.has_value());
            ASSERT_EQ(refused.error(), busy);
            ASSERT_LT(++attempt, 1000);
            held = hold();
        }
    }
    clock_.real_wait = std::chrono::milliseconds(1);
    const std::size_t before_hold = clock_.waits().size();
    ASSERT_TRUE(clock_.wait_until(before_hold + 3));
    SetEvent(release);
    EXPECT_TRUE(tavik::details::wait_blocking_result(std::move(held)).has_value());
    const std::size_t seen = clock_.waits().size();
    ASSERT_TRUE(clock_.wait_until(seen + 2));
    root_ = nullptr;
    CloseHandle(release);
    CloseHandle(holding);

    // While held: one stretch of 10-second retries (a run may have come first); otherwise, and
    // once free again, the fixed period.
    const auto waits = clock_.waits();
    EXPECT_EQ(waits[0], 2 * hour);
    const auto first_retry = std::find(waits.begin(), waits.end(), 100'000'000);
    ASSERT_NE(first_retry, waits.end());
    const auto after_retries = std::find_if(first_retry, waits.end(), [](std::int64_t w) { return w != 100'000'000; });
    EXPECT_GE(after_retries - first_retry, 2);
    ASSERT_NE(after_retries, waits.end());
    for (auto it = waits.begin(); it != waits.end(); ++it) {
        if (it < first_retry || it >= after_retries) {
            EXPECT_EQ(*it, 2 * hour) << "wait " << (it - waits.begin());
        }
    }
}

TEST_F(Schedule, DestroyingTheFolderEndsAWaitingSchedulePromptly)
{
    clock_.real_wait = std::chrono::hours(1);
    start(dedup::auto_t{}, dedup::disabled_t{});
    ASSERT_TRUE(clock_.wait_until(1));
    const auto begin = std::chrono::steady_clock::now();
    root_ = nullptr;
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
}

} // namespace
