#include <ostrel/windows/async_context.h>

#include <tavik/cancellation.h>
#include <tavik/thread_pool.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <vector>

namespace {

using namespace Ostrel::windows::impl;
using tavik::details::future;

// Pumps this thread's messages (the hook sees each one removed) until `done` or 20 s.
bool pump_until(const std::function<bool()>& done)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return done();
}

bool queue_has_ui_return()
{
    MSG msg;
    return PeekMessageW(&msg, nullptr, ui_return_message(), ui_return_message(), PM_NOREMOVE) != 0;
}

future<int> on_pool(int value)
{
    co_await tavik::details::resume_on_thread_pool();
    co_return value;
}

future<int> failing_on_pool()
{
    co_await tavik::details::resume_on_thread_pool();
    throw std::runtime_error("failed");
    co_return 0;
}

future<int> ready(int value) { co_return value; }

struct seen {
    std::atomic<int> resumed{0};
    DWORD thread = 0;
    bool finished = false;
    int value = 0;
    bool cancelled = false;
    std::string error;
};

future<void> ui_task(const async_context& ctx, future<int> f, seen& s)
{
    try {
        s.value = co_await ctx.await(std::move(f));
    } catch (const tavik::details::operation_cancelled&) {
        s.cancelled = true;
    } catch (const std::exception& e) {
        s.error = e.what();
    }
    s.thread = GetCurrentThreadId();
    s.resumed.fetch_add(1);
    s.finished = true;
}

class AsyncContext : public ::testing::Test {
protected:
    void SetUp() override
    {
        hook_ = install_ui_return_hook();
        ASSERT_TRUE(hook_);
    }
    void TearDown() override
    {
        pump_until([] { return details::pending_ui_returns() == 0; });
        hook_.reset();
    }
    Ostrel::windows::unhook_windows_hook hook_;
    async_context ctx_;
};

TEST_F(AsyncContext, ReadyFutureOnTheUiThreadDoesNotSuspend)
{
    EXPECT_TRUE(ctx_.is_ui_thread());
    seen s;
    auto task = ui_task(ctx_, ready(3), s);
    EXPECT_TRUE(s.finished); // ran on without any message
    EXPECT_EQ(s.value, 3);
    EXPECT_FALSE(queue_has_ui_return());
}

TEST_F(AsyncContext, FuturesCompletedOnThePoolResumeOnTheUiThread)
{
    seen s;
    auto task = ui_task(ctx_, on_pool(7), s);
    ASSERT_TRUE(pump_until([&] { return s.finished; }));
    EXPECT_EQ(s.value, 7);
    EXPECT_EQ(s.thread, GetCurrentThreadId());

    seen failed;
    auto task2 = ui_task(ctx_, failing_on_pool(), failed);
    ASSERT_TRUE(pump_until([&] { return failed.finished; }));
    EXPECT_EQ(failed.error, "failed");
    EXPECT_EQ(failed.thread, GetCurrentThreadId());
}

future<void> await_from_pool(const async_context& ctx, seen& s)
{
    // A ready future awaited from a pool thread still comes back to the UI thread.
    co_await tavik::details::resume_on_thread_pool();
    s.value = co_await ctx.await(ready(11));
    s.thread = GetCurrentThreadId();
    s.finished = true;
}

TEST_F(AsyncContext, ReadyFutureFromAPoolThreadPostsAndClosedContextAlwaysPosts)
{
    seen s;
    auto task = await_from_pool(ctx_, s);
    ASSERT_TRUE(pump_until([&] { return s.finished; }));
    EXPECT_EQ(s.value, 11);
    EXPECT_EQ(s.thread, GetCurrentThreadId());

    async_context closed;
    closed.close();
    EXPECT_FALSE(closed.is_ui_thread());
    seen c;
    auto task2 = ui_task(closed, ready(4), c);
    EXPECT_FALSE(c.finished);
    EXPECT_TRUE(queue_has_ui_return());
    ASSERT_TRUE(pump_until([&] { return c.finished; }));
    EXPECT_EQ(c.value, 4);
}

TEST_F(AsyncContext, CancelledOwnerRaisesAfterReturningToTheUiThread)
{
    tavik::details::cancellation_source source;
    async_context ctx;
    ctx.set_cancellation(&source);
    source.cancel();
    seen s;
    auto task = ui_task(ctx, on_pool(1), s);
    ASSERT_TRUE(pump_until([&] { return s.finished; }));
    EXPECT_TRUE(s.cancelled);
    EXPECT_EQ(s.thread, GetCurrentThreadId());
}

// A coroutine that suspends until someone resumes it, counting its resumptions.
struct parked {
    struct promise_type {
        parked get_return_object() { return parked{std::coroutine_handle<promise_type>::from_promise(*this)}; }
        std::suspend_always initial_suspend() noexcept { return {}; }
        std::suspend_always final_suspend() noexcept { return {}; }
        void return_void() {}
        void unhandled_exception() {}
    };
    std::coroutine_handle<promise_type> handle;
};

parked park(int& count)
{
    ++count;
    co_return;
}

TEST_F(AsyncContext, OnlyHandlesThisProcessPostedAreResumedEachOnce)
{
    int count = 0;
    parked p = park(count);
    // A null handle posts nothing.
    ctx_.post_resume(nullptr);
    EXPECT_FALSE(queue_has_ui_return());
    // A message some other program posts with a live handle's address: ignored.
    PostThreadMessageW(GetCurrentThreadId(), ui_return_message(), reinterpret_cast<WPARAM>(p.handle.address()), 0);
    PostThreadMessageW(GetCurrentThreadId(), ui_return_message(), 0x12345678, 0);
    pump_until([] { return !queue_has_ui_return(); });
    EXPECT_EQ(count, 0);
    // Posted by us: resumed once; the same address posted again from outside: ignored.
    ctx_.post_resume(p.handle);
    ASSERT_TRUE(pump_until([&] { return count == 1; }));
    PostThreadMessageW(GetCurrentThreadId(), ui_return_message(), reinterpret_cast<WPARAM>(p.handle.address()), 0);
    pump_until([] { return !queue_has_ui_return(); });
    EXPECT_EQ(count, 1);
    EXPECT_TRUE(p.handle.done());
    p.handle.destroy();
}

TEST_F(AsyncContext, StressOfAwaitsCompletedOnPoolThreads)
{
    constexpr int count = 400;
    std::vector<seen> all(count);
    std::vector<future<void>> tasks;
    tasks.reserve(count);
    for (int i = 0; i < count; ++i)
        tasks.push_back(ui_task(ctx_, on_pool(i), all[i]));
    ASSERT_TRUE(pump_until([&] {
        for (const seen& s : all)
            if (!s.finished)
                return false;
        return true;
    }));
    for (int i = 0; i < count; ++i) {
        EXPECT_EQ(all[i].value, i);
        EXPECT_EQ(all[i].resumed.load(), 1);
        EXPECT_EQ(all[i].thread, GetCurrentThreadId());
    }
    EXPECT_EQ(details::pending_ui_returns(), 0u);
}

} // namespace
