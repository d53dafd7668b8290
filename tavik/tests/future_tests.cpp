#include "test_support.h"

#include <tavik/future.h>
#include <tavik/shared_future.h>
#include <tavik/thread_pool.h>
#include <tavik/when_both_done.h>

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <stdexcept>
#include <thread>
#include <vector>

using namespace tavik::details;
using tavik_test::counted;
using tavik_test::eventually;
using tavik_test::parked;

namespace {

future<int> value_now(int v) { co_return v; }

future<int> value_after(parked& gate, int v)
{
    co_await gate;
    co_return v;
}

future<int> fail_before_suspending()
{
    throw std::runtime_error("early");
    co_return 0;
}

future<int> fail_after(parked& gate)
{
    co_await gate;
    throw_hresult(E_ACCESSDENIED);
    co_return 0;
}

} // namespace

TEST(future, awaiting_a_finished_coroutine_does_not_suspend)
{
    auto outer = []() -> future<DWORD> {
        future<int> done = value_now(7);
        EXPECT_TRUE(done.is_ready());
        const DWORD before = GetCurrentThreadId();
        EXPECT_EQ(co_await done, 7);
        EXPECT_EQ(GetCurrentThreadId(), before);
        co_return before;
    };
    future<DWORD> f = outer();
    EXPECT_TRUE(f.is_ready()); // ran to its end on this thread without ever suspending
    EXPECT_EQ(f.get(), GetCurrentThreadId());
}

TEST(future, awaiter_resumes_on_the_completing_thread)
{
    parked gate;
    DWORD resumed_on = 0;
    auto outer = [&]() -> future<int> {
        int v = co_await value_after(gate, 5);
        resumed_on = GetCurrentThreadId();
        co_return v * 2;
    };
    future<int> f = outer();
    EXPECT_FALSE(f.is_ready());
    DWORD completer = 0;
    std::thread t([&] {
        completer = GetCurrentThreadId();
        gate.resume();
    });
    t.join();
    EXPECT_EQ(wait_blocking_result(std::move(f)), 10);
    EXPECT_EQ(resumed_on, completer);
}

TEST(future, exception_before_first_suspension_reaches_the_awaiter)
{
    future<int> f; // starting must not raise
    ASSERT_NO_THROW(f = fail_before_suspending());
    EXPECT_TRUE(f.is_ready());
    auto outer = [](future<int> inner) -> future<bool> {
        try {
            co_await inner;
        } catch (const std::runtime_error&) {
            co_return true;
        }
        co_return false;
    };
    EXPECT_TRUE(wait_blocking_result(outer(std::move(f))));
}

TEST(future, releasing_a_running_coroutine_lets_it_finish_and_free_itself)
{
    ASSERT_EQ(counted::live, 0);
    parked gate;
    bool finished = false;
    // The closure outlives the coroutine: its captures are reached through it.
    auto body = [&]() -> future<counted> {
        counted local(1);
        co_await gate;
        finished = true;
        throw_hresult(E_FAIL); // discarded with the frame
        co_return counted(2);
    };
    {
        future<counted> f = body();
        EXPECT_EQ(counted::live, 1);
    } // future released while the coroutine is suspended
    EXPECT_FALSE(finished);
    gate.resume();
    EXPECT_TRUE(finished);
    EXPECT_EQ(counted::live, 0); // frame, local and result are gone
}

TEST(future, releasing_a_finished_coroutine_destroys_its_frame_once)
{
    ASSERT_EQ(counted::live, 0);
    {
        auto body = []() -> future<counted> { co_return counted(3); };
        future<counted> f = body();
        EXPECT_TRUE(f.is_ready());
        EXPECT_EQ(counted::live, 1); // the stored result
        EXPECT_EQ(f.get().value, 3);
        future<counted> moved = std::move(f);
        f.reset(); // releasing an empty future does nothing
        EXPECT_EQ(counted::live, 1);
    }
    EXPECT_EQ(counted::live, 0);
}

TEST(future, result_is_published_after_the_locals_are_destroyed)
{
    // A local's destructor runs after co_return: it may look at its own coroutine's future (no
    // lock of the promise is held), and nobody sees the result before the locals are gone.
    struct probe {
        future<int>* self;
        bool* seen_ready;
        ~probe() { *seen_ready = self->is_ready(); }
    };
    future<int> f;
    bool seen_ready = true;
    parked gate;
    auto body = [&]() -> future<int> {
        probe p{&f, &seen_ready};
        co_await gate;
        co_return 5;
    };
    f = body();
    gate.resume();
    EXPECT_FALSE(seen_ready);
    EXPECT_TRUE(f.is_ready());
    EXPECT_EQ(f.get(), 5);
}

TEST(future, wait_blocking_returns_only_once_the_result_is_stored)
{
    future<int> ready = value_now(1);
    wait_blocking(ready); // returns at once
    EXPECT_EQ(ready.get(), 1);

    parked gate;
    future<int> pending = value_after(gate, 9);
    std::atomic<bool> released{false};
    std::thread completer([&] {
        ASSERT_TRUE(eventually([&] { return gate.waiting(); }));
        Sleep(20);
        released = true;
        gate.resume();
    });
    wait_blocking(pending);
    EXPECT_TRUE(released);
    EXPECT_TRUE(pending.is_ready());
    EXPECT_EQ(pending.get(), 9);
    completer.join();
}

TEST(future, blocking_waits_report_failures_by_their_kind)
{
    parked gate;
    future<int> failing = fail_after(gate);
    std::thread t([&] { gate.resume(); });
    wait_blocking(failing); // never raises: the form for shutdowns and main
    t.join();
    EXPECT_THROW(failing.get(), traceable_error);
    try {
        wait_blocking_result(std::move(failing));
        ADD_FAILURE();
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), E_ACCESSDENIED);
    }
}

TEST(future, cancelled_flag_raises_at_the_next_await_even_when_ready)
{
    promise_base* self = nullptr;
    parked gate;
    bool reached_after = false;
    auto body = [&]() -> future<int> {
        self = co_await this_promise;
        co_await gate;
        future<int> ready = value_now(1);
        int v = co_await ready; // already complete, yet cancelled first
        reached_after = true;
        co_return v;
    };
    future<int> f = body();
    ASSERT_NE(self, nullptr);
    self->cancelled.store(1);
    gate.resume();
    EXPECT_FALSE(reached_after);
    EXPECT_THROW(wait_blocking_result(std::move(f)), operation_cancelled);
}

namespace {

// Counts every call that reaches an object other than the one the coroutine named or made: a copy
// or a moved-to object in place of the awaiter itself.
struct probe_awaiter {
    const probe_awaiter* origin;
    std::atomic<void*>* slot;
    int* misplaced;
    probe_awaiter(std::atomic<void*>& s, int& m) : origin(this), slot(&s), misplaced(&m) {}
    probe_awaiter(const probe_awaiter& o) : origin(o.origin), slot(o.slot), misplaced(o.misplaced) {}
    bool await_ready() { return check(false); }
    void await_suspend(std::coroutine_handle<> h)
    {
        check(false);
        slot->store(h.address());
    }
    int await_resume() { return check(true) ? 1 : 0; }
    bool check(bool result)
    {
        if (this != origin)
            ++*misplaced;
        return result;
    }
};

// Neither copyable nor movable, as an awaiter holding an OVERLAPPED or a list node must be.
struct pinned_awaiter : probe_awaiter {
    using probe_awaiter::probe_awaiter;
    pinned_awaiter(const pinned_awaiter&) = delete;
    pinned_awaiter& operator=(const pinned_awaiter&) = delete;
};

struct makes_pinned_awaiter {
    std::atomic<void*>* slot;
    int* misplaced;
    makes_pinned_awaiter(std::atomic<void*>& s, int& m) : slot(&s), misplaced(&m) {}
    makes_pinned_awaiter(const makes_pinned_awaiter&) = delete;
    pinned_awaiter operator co_await() && { return pinned_awaiter(*slot, *misplaced); }
};

} // namespace

TEST(future, awaiters_are_awaited_in_place_whatever_their_value_category)
{
    std::atomic<void*> slot{nullptr};
    int misplaced = 0;
    auto body = [&]() -> future<int> {
        int sum = co_await probe_awaiter(slot, misplaced);
        probe_awaiter named(slot, misplaced);
        sum += co_await named;
        sum += co_await std::move(named);
        sum += co_await pinned_awaiter(slot, misplaced);
        pinned_awaiter pinned(slot, misplaced);
        sum += co_await pinned;
        sum += co_await makes_pinned_awaiter(slot, misplaced);
        co_return sum;
    };
    future<int> f = body();
    int suspensions = 0;
    while (void* h = slot.exchange(nullptr)) {
        ++suspensions;
        std::coroutine_handle<>::from_address(h).resume();
    }
    EXPECT_EQ(suspensions, 6);
    ASSERT_TRUE(f.is_ready());
    EXPECT_EQ(f.get(), 6);
    EXPECT_EQ(misplaced, 0);
}

TEST(future, moving_to_the_thread_pool)
{
    auto body = []() -> future<DWORD> {
        co_await resume_on_thread_pool();
        co_return GetCurrentThreadId();
    };
    EXPECT_NE(wait_blocking_result(body()), GetCurrentThreadId());
}

TEST(standalone_promise, several_waiters_one_value_second_completion_ignored)
{
    auto signal = std::make_shared<promise_type_<int>>();
    std::atomic<int> sum{0};
    std::vector<future<void>> waiters;
    auto waiter = [](std::shared_ptr<promise_type_<int>> p, std::atomic<int>& total) -> future<void> {
        int& v = co_await *p;
        total += v;
    };
    for (int i = 0; i < 3; ++i)
        waiters.push_back(waiter(signal, sum));
    EXPECT_FALSE(signal->is_ready());
    EXPECT_TRUE(signal->set_value(4));
    EXPECT_FALSE(signal->set_value(100));
    EXPECT_FALSE(signal->set_exception(std::make_exception_ptr(std::runtime_error("late"))));
    for (auto& w : waiters)
        wait_blocking_result(std::move(w));
    EXPECT_EQ(sum, 12);
    // A waiter that comes after completion goes on at once.
    future<void> late = waiter(signal, sum);
    EXPECT_TRUE(late.is_ready());
    EXPECT_EQ(sum, 16);
}

TEST(standalone_promise, exception_reaches_every_waiter)
{
    auto signal = std::make_shared<promise_type_<void>>();
    auto waiter = [](std::shared_ptr<promise_type_<void>> p) -> future<HRESULT> {
        try {
            co_await *p;
        } catch (const traceable_error& e) {
            co_return e.code();
        }
        co_return S_OK;
    };
    future<HRESULT> a = waiter(signal), b = waiter(signal);
    EXPECT_TRUE(signal->set_exception(std::make_exception_ptr(traceable_error(E_OUTOFMEMORY))));
    EXPECT_EQ(wait_blocking_result(std::move(a)), E_OUTOFMEMORY);
    EXPECT_EQ(wait_blocking_result(std::move(b)), E_OUTOFMEMORY);
}

TEST(complete_async, resumes_the_awaiter_on_the_pool)
{
    auto signal = std::make_shared<promise_type_<void>>();
    auto waiter = [](std::shared_ptr<promise_type_<void>> p) -> future<DWORD> {
        co_await *p;
        co_return GetCurrentThreadId();
    };
    future<DWORD> f = waiter(signal);
    complete_async(signal);
    EXPECT_NE(wait_blocking_result(std::move(f)), GetCurrentThreadId());
    complete_async(signal); // a second completion changes nothing
}

TEST(complete_async, refused_submission_resumes_the_awaiter_inline_and_frees_the_lock)
{
    auto signal = std::make_shared<promise_type_<void>>();
    DWORD resumed_on = 0;
    auto waiter = [&](std::shared_ptr<promise_type_<void>> p) -> future<void> {
        co_await *p;
        resumed_on = GetCurrentThreadId();
    };
    future<void> f = waiter(signal);
    complete_async(signal, &tavik_test::refusing_submitter);
    EXPECT_TRUE(f.is_ready());
    EXPECT_EQ(resumed_on, GetCurrentThreadId());
    // The promise is usable afterwards: its lock was released.
    future<void> again = waiter(signal);
    EXPECT_TRUE(again.is_ready());
}

TEST(complete_async, stress_completion_racing_registration)
{
    // Completion from another thread races the awaiter's registration; every awaiter must be
    // resumed exactly once.
    constexpr int rounds = 2000;
    std::atomic<int> resumed{0};
    auto waiter = [&](std::shared_ptr<promise_type_<void>> p) -> future<void> {
        co_await *p;
        ++resumed;
    };
    std::vector<std::shared_ptr<promise_type_<void>>> signals(rounds);
    for (auto& s : signals)
        s = std::make_shared<promise_type_<void>>();
    std::atomic<bool> go{false};
    std::thread completer([&] {
        while (!go) {
        }
        for (auto& s : signals)
            complete_async(s);
    });
    std::vector<future<void>> futures;
    futures.reserve(rounds);
    go = true;
    for (auto& s : signals)
        futures.push_back(waiter(s));
    completer.join();
    for (auto& f : futures)
        wait_blocking(f);
    EXPECT_EQ(resumed, rounds);
}

TEST(future, stress_release_racing_completion)
{
    // The last future is released on one thread while the coroutine finishes on another: the
    // frame must be destroyed exactly once, by whichever side comes second.
    ASSERT_EQ(counted::live, 0);
    constexpr int rounds = 500;
    for (int i = 0; i < rounds; ++i) {
        parked gate;
        auto body = [](parked& g) -> future<counted> {
            counted local(0);
            co_await g;
            co_return counted(1);
        };
        future<counted> f = body(gate);
        std::thread t([&] { gate.resume(); });
        if (i % 2)
            Sleep(0);
        f.reset();
        t.join();
    }
    EXPECT_EQ(counted::live, 0);
}

TEST(shared_future, early_awaiters_share_one_outcome_and_resume_on_pool_threads)
{
    parked gate;
    auto shared = make_shared_future(value_after(gate, 11));
    std::atomic<int> sum{0};
    std::atomic<DWORD> completer{0};
    std::vector<DWORD> threads(3);
    auto waiter = [&](std::shared_ptr<shared_future_impl<int>> sf, DWORD& thread) -> future<void> {
        sum += co_await sf;
        thread = GetCurrentThreadId();
    };
    std::vector<future<void>> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.push_back(waiter(shared, threads[i]));
    for (auto& w : waiters)
        EXPECT_FALSE(w.is_ready());
    std::thread t([&] {
        completer = GetCurrentThreadId();
        gate.resume();
    });
    t.join();
    for (auto& w : waiters)
        wait_blocking_result(std::move(w));
    EXPECT_EQ(sum, 33);
    for (DWORD id : threads) {
        EXPECT_NE(id, completer.load());
        EXPECT_NE(id, GetCurrentThreadId());
    }
    // A late awaiter continues at once on its own thread with the same outcome.
    DWORD late_thread = 0;
    future<void> late = waiter(shared, late_thread);
    EXPECT_TRUE(late.is_ready());
    EXPECT_EQ(late_thread, GetCurrentThreadId());
    EXPECT_EQ(sum, 44);
}

TEST(shared_future, failure_reaches_every_awaiter_and_plain_threads)
{
    parked gate;
    auto shared = make_shared_future(fail_after(gate));
    auto waiter = [](std::shared_ptr<shared_future_impl<int>> sf) -> future<HRESULT> {
        try {
            co_await sf;
        } catch (const traceable_error& e) {
            co_return e.code();
        }
        co_return S_OK;
    };
    future<HRESULT> a = waiter(shared), b = waiter(shared);
    future<int> plain = shared_future_impl<int>::as_future(shared);
    std::thread t([&] { gate.resume(); });
    t.join();
    EXPECT_EQ(wait_blocking_result(std::move(a)), E_ACCESSDENIED);
    EXPECT_EQ(wait_blocking_result(std::move(b)), E_ACCESSDENIED);
    EXPECT_THROW(wait_blocking_result(std::move(plain)), traceable_error);
    EXPECT_EQ(wait_blocking_result(waiter(shared)), E_ACCESSDENIED);
}

TEST(shared_future, of_void_for_plain_threads_and_completed_tasks)
{
    auto done = []() -> future<void> { co_return; };
    auto shared = make_shared_future(done());
    EXPECT_TRUE(shared->is_ready());
    wait_blocking_result(shared_future_impl<>::as_future(shared));
}

TEST(shared_future, stress_awaiters_racing_completion)
{
    constexpr int rounds = 300;
    std::atomic<int> resumed{0};
    auto waiter = [&](std::shared_ptr<shared_future_impl<int>> sf) -> future<void> {
        resumed += co_await sf;
    };
    for (int i = 0; i < rounds; ++i) {
        parked gate;
        auto shared = make_shared_future(value_after(gate, 1));
        std::vector<future<void>> waiters;
        std::thread t([&] { gate.resume(); });
        for (int k = 0; k < 4; ++k)
            waiters.push_back(waiter(shared));
        t.join();
        for (auto& w : waiters)
            wait_blocking(w);
    }
    EXPECT_EQ(resumed, rounds * 4);
}

TEST(when_both_done, completes_after_both_and_reports_the_first_failure)
{
    parked a, b;
    auto step = [](parked& g, HRESULT hr) -> future<void> {
        co_await g;
        if (FAILED(hr))
            throw_hresult(hr);
    };
    future<void> both = when_both_done(step(a, S_OK), step(b, S_OK));
    a.resume();
    EXPECT_FALSE(both.is_ready());
    b.resume();
    EXPECT_TRUE(both.is_ready());
    EXPECT_NO_THROW(wait_blocking_result(std::move(both)));

    parked c, d;
    future<void> failing = when_both_done(step(c, E_ACCESSDENIED), step(d, E_FAIL));
    d.resume();
    c.resume();
    try {
        wait_blocking_result(std::move(failing));
        ADD_FAILURE();
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), E_ACCESSDENIED);
    }
}
