#include "test_support.h"

#include <tavik/cancellation.h>
#include <tavik/future.h>
#include <tavik/timer.h>
#include <tavik/unique_handle.h>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>
#include <vector>

using namespace tavik::details;
using namespace std::chrono_literals;
using tavik_test::eventually;

namespace {

// Outcome of one wait: 0 expired, 1 timer_cancelled, 2 other operation_cancelled.
future<int> wait_on(async_timer& timer, timer_duration due)
{
    try {
        co_await timer.wait(due);
    } catch (const timer_cancelled&) {
        co_return 1;
    } catch (const operation_cancelled&) {
        co_return 2;
    }
    co_return 0;
}

} // namespace

TEST(async_timer, expiry_resumes_once_on_a_timer_thread_and_timer_is_reusable)
{
    async_timer timer;
    std::atomic<int> resumptions{0};
    auto body = [&]() -> future<DWORD> {
        co_await timer.wait(2ms);
        ++resumptions;
        const DWORD first = GetCurrentThreadId();
        co_await timer.wait(2ms);
        ++resumptions;
        co_return first;
    };
    const auto start = std::chrono::steady_clock::now();
    EXPECT_NE(wait_blocking_result(body()), GetCurrentThreadId());
    EXPECT_GE(std::chrono::steady_clock::now() - start, 3ms);
    EXPECT_EQ(resumptions, 2);
}

TEST(async_timer, cancel_during_a_wait_resumes_promptly_with_timer_cancelled)
{
    async_timer timer;
    future<int> waiting = wait_on(timer, 60s);
    EXPECT_FALSE(waiting.is_ready());
    const auto start = std::chrono::steady_clock::now();
    timer.cancel();
    EXPECT_EQ(wait_blocking_result(std::move(waiting)), 1);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    // The cancel was consumed by that wait: the next one expires normally.
    EXPECT_EQ(wait_blocking_result(wait_on(timer, 1ms)), 0);
}

TEST(async_timer, cancel_before_a_wait_fails_exactly_the_next_wait)
{
    async_timer timer;
    timer.cancel();
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(wait_blocking_result(wait_on(timer, 60s)), 1); // at once, never armed
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(wait_blocking_result(wait_on(timer, 1ms)), 0);
}

TEST(async_timer, refused_submission_resumes_the_cancelled_waiter_inline)
{
    async_timer timer;
    timer.set_submitter(&tavik_test::refusing_submitter);
    future<int> waiting = wait_on(timer, 60s);
    timer.cancel();
    EXPECT_TRUE(waiting.is_ready());
    EXPECT_EQ(waiting.get(), 1);
}

TEST(async_timer, periodic_ticks_without_arming_and_stop)
{
    async_timer timer;
    timer.set_periodic(5ms, 5ms);
    auto body = [&]() -> future<int> {
        for (int i = 0; i < 3; ++i)
            co_await timer.wait_next();
        co_return 3;
    };
    EXPECT_EQ(wait_blocking_result(body()), 3);
    timer.stop();
    future<int> stopped = [&]() -> future<int> {
        try {
            co_await timer.wait_next();
        } catch (const timer_cancelled&) {
            co_return 1;
        }
        co_return 0;
    }();
    Sleep(30);
    EXPECT_FALSE(stopped.is_ready()); // no tick after stop
    timer.cancel();
    EXPECT_EQ(wait_blocking_result(std::move(stopped)), 1);
}

TEST(async_timer, waiter_may_destroy_its_timer_on_the_timer_thread)
{
    // The timer is a local of the coroutine: it is closed on the callback thread that resumed it.
    auto body = []() -> future<void> {
        async_timer timer;
        co_await timer.wait(1ms);
    };
    for (int i = 0; i < 50; ++i)
        wait_blocking_result(body());
}

TEST(auto_cancel_timer, cancelled_token_raises_operation_cancelled)
{
    cancellation_source source;
    cancellation_token token(source);
    source.cancel();
    try {
        auto_cancel_timer timer(token);
        ADD_FAILURE();
    } catch (const timer_cancelled&) {
        ADD_FAILURE() << "plain operation_cancelled expected";
    } catch (const operation_cancelled& e) {
        EXPECT_EQ(e.code(), cancelled_hresult);
    }
}

TEST(auto_cancel_timer, source_cancel_wakes_the_waiter)
{
    cancellation_source source;
    auto body = [](cancellation_source src) -> future<int> {
        cancellation_token token(src); // not bound: the wait itself must end it
        auto_cancel_timer timer(token);
        try {
            co_await timer.wait(60s);
        } catch (const timer_cancelled&) {
            co_return 1;
        }
        co_return 0;
    };
    future<int> f = body(source);
    EXPECT_FALSE(f.is_ready());
    source.cancel();
    EXPECT_EQ(wait_blocking_result(std::move(f)), 1);
}

TEST(auto_cancel_timer, waiter_resumed_inside_the_cancel_callback_may_tear_the_timer_down)
{
    // The pool refuses the timer's resumption, so the cancelled waiter runs inside the
    // subscription's callback and destroys the timer, subscription included, right there.
    cancellation_source source;
    auto body = [](cancellation_source src) -> future<int> {
        cancellation_token token(src);
        int outcome = 0;
        {
            auto_cancel_timer timer(token);
            timer.set_submitter(&tavik_test::refusing_submitter);
            try {
                co_await timer.wait(60s);
            } catch (const timer_cancelled&) {
                outcome = 1;
            }
        }
        co_return outcome;
    };
    future<int> f = body(source);
    source.cancel();
    ASSERT_TRUE(eventually([&] { return f.is_ready(); })) << "the callback waited for itself";
    EXPECT_EQ(f.get(), 1);
}

TEST(auto_cancel_timer, stress_cancel_racing_expiry_and_teardown)
{
    // Cancel and expiry at the same moment, with the waiter tearing its timer (and the timer's
    // subscription) down at once on whichever thread resumed it: it must resume exactly once and
    // nothing may deadlock.
    constexpr int rounds = 300;
    std::atomic<int> resumed{0};
    auto body = [&](cancellation_source src, int due_us) -> future<void> {
        cancellation_token token(src);
        auto_cancel_timer timer(token);
        try {
            co_await timer.wait(std::chrono::microseconds(due_us));
        } catch (const operation_cancelled&) {
        }
        ++resumed;
    };
    for (int i = 0; i < rounds; ++i) {
        cancellation_source source;
        future<void> f = body(source, (i % 5) * 300);
        // Spread the cancel over the expiry window.
        const auto cancel_at = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 7) * 200);
        while (std::chrono::steady_clock::now() < cancel_at) {
        }
        source.cancel();
        wait_blocking(f);
    }
    EXPECT_EQ(resumed, rounds);
}

TEST(async_timer, stress_closing_with_expiries_in_flight)
{
    // Callbacks already queued when the timer closes must not run on the destroyed timer.
    for (int i = 0; i < 300; ++i) {
        auto timer = std::make_unique<async_timer>();
        timer->set_periodic(timer_duration(1), 1ms);
        const auto until = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 4) * 300);
        while (std::chrono::steady_clock::now() < until) {
        }
        if (i % 2)
            timer->cancel();
        timer.reset();
    }
    SUCCEED();
}

TEST(async_timer, stress_cancel_racing_the_arming_wait)
{
    // Another thread cancels while the wait is being armed. The pool refuses the cancel's
    // submission, so the waiter resumes inline on the cancelling thread and destroys its timer
    // there at once: the arming thread must be done with the timer before a cancel can take the
    // waiter. Other threads arm timers of their own without pause, as in a busy process, so the
    // arming often waits on the pool's timer bookkeeping: a cancel not held off by the timer's
    // lock gets through in that time.
    constexpr int pairs = 3;
    constexpr int noise_threads = 3;
    constexpr int max_rounds = 4000;
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    struct pair {
        std::atomic<async_timer*> published{nullptr};
        std::atomic<bool> done{false};
        int rounds = 0;
        int outcomes[3] = {};
    };
    std::vector<std::unique_ptr<pair>> state;
    for (int p = 0; p < pairs; ++p)
        state.push_back(std::make_unique<pair>());
    auto waiter = [](pair& s) -> future<int> {
        async_timer timer;
        timer.set_submitter(&tavik_test::refusing_submitter);
        s.published = &timer;
        try {
            co_await timer.wait(60s);
        } catch (const timer_cancelled&) {
            co_return 1;
        }
        co_return 0;
    };
    std::vector<std::thread> waiters, others;
    for (auto& each : state) {
        pair& s = *each;
        waiters.emplace_back([&s, waiter, deadline] {
            for (; s.rounds < max_rounds && std::chrono::steady_clock::now() < deadline; ++s.rounds)
                ++s.outcomes[wait_blocking_result(waiter(s))];
            s.done = true;
        });
        others.emplace_back([&s] {
            for (int i = 0; !s.done; ++i) {
                async_timer* timer = s.published.exchange(nullptr);
                if (!timer)
                    continue;
                // Spread the cancel over the arming: before it (the wait fails at once), during it,
                // and after it.
                const auto cancel_at = std::chrono::steady_clock::now() + std::chrono::microseconds(i % 8);
                while (std::chrono::steady_clock::now() < cancel_at) {
                }
                timer->cancel();
            }
        });
    }
    std::atomic<bool> waiters_done{false};
    for (int n = 0; n < noise_threads; ++n) {
        others.emplace_back([&waiters_done] {
            tavik::unique_threadpool_timer_wait other(
                CreateThreadpoolTimer([](PTP_CALLBACK_INSTANCE, PVOID, PTP_TIMER) {}, nullptr, nullptr));
            ASSERT_TRUE(other);
            FILETIME in_a_minute = {0xDC3CBA00u, 0xFFFFFFFFu}; // -600,000,000 units of 100 ns
            while (!waiters_done)
                SetThreadpoolTimer(other.get(), &in_a_minute, 0, 0);
        });
    }
    for (auto& t : waiters)
        t.join();
    waiters_done = true;
    for (auto& t : others)
        t.join();
    for (auto& s : state) {
        EXPECT_EQ(s->outcomes[0], 0); // every wait ended through the cancel, none waited for its 60 s
        EXPECT_EQ(s->outcomes[1], s->rounds);
    }
}

TEST(async_timer, stress_cancel_at_expiry_never_ends_the_next_wait)
{
    // A cancel that lands as the timer fires takes the waiter, but the expiry callback is already
    // on its way. The cancelled coroutine waits again at once (inline: the pool refuses the
    // cancel's submission); the late callback must not end that second, long wait.
    constexpr int rounds = 600;
    int ended_early = 0;
    for (int i = 0; i < rounds; ++i) {
        async_timer timer;
        timer.set_submitter(&tavik_test::refusing_submitter);
        std::atomic<bool> waiting_again{false};
        int second = -1;
        auto body = [&]() -> future<void> {
            co_await wait_on(timer, 1ms);
            waiting_again = true;
            second = co_await wait_on(timer, 60s);
        };
        future<void> f = body();
        const auto cancel_at = std::chrono::steady_clock::now() + std::chrono::microseconds(1000 + (i % 16) * 10);
        while (std::chrono::steady_clock::now() < cancel_at) {
        }
        timer.cancel();
        while (!waiting_again) {
        }
        // Time for a late callback to come through before the second wait is ended for good.
        const auto second_cancel_at = std::chrono::steady_clock::now() + 300us;
        while (std::chrono::steady_clock::now() < second_cancel_at) {
        }
        timer.cancel();
        wait_blocking(f);
        if (second == 0)
            ++ended_early;
    }
    EXPECT_EQ(ended_early, 0);
}

TEST(threadpool_timer, one_shot_delay_of_half_a_second)
{
    auto body = []() -> future<DWORD> {
        threadpool_timer delay;
        delay.set_relative(timer_duration(5'000'000));
        co_await delay;
        co_return GetCurrentThreadId();
    };
    const auto start = std::chrono::steady_clock::now();
    const DWORD thread = wait_blocking_result(body());
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, 490ms);
    EXPECT_LT(elapsed, 5s);
    EXPECT_NE(thread, GetCurrentThreadId());
}

TEST(threadpool_timer, can_be_awaited_again)
{
    auto body = []() -> future<int> {
        threadpool_timer delay;
        delay.set_relative(1ms);
        co_await delay;
        co_await delay;
        co_return 2;
    };
    EXPECT_EQ(wait_blocking_result(body()), 2);
}
