#pragma once
// Waiting for time on thread-pool timers, never on a sleeping thread. Due times are relative, in
// 100-nanosecond units (timer_duration; any std::chrono duration converts).
//
// async_timer: a reusable timer that one coroutine at a time awaits and that any party can cancel.
// - wait(d) arms the timer once and suspends until it fires or is cancelled; wait_next() suspends
//   until the next expiry of a timer armed with set_periodic, without arming it.
// - cancel() ends a pending wait early (the waiter resumes on a pool thread with timer_cancelled),
//   or makes the next wait fail at once; the wait after that behaves normally. It never blocks.
// - A waiter resumed by expiry continues on the timer's callback thread.
// - Closing (close_timer, destructor) stops the timer and waits for callbacks in flight, except a
//   callback that has already handed its waiter over (so a waiter may destroy its own timer). No
//   wait may be pending when the timer is closed.
//
// auto_cancel_timer: an async_timer that a cancellation token's source cancels.
//
// threadpool_timer: one-shot delay; set_relative(d), then co_await resumes the coroutine once
// after d on a timer thread. Nothing can cancel it.

#include <tavik/cancellation.h>
#include <tavik/error.h>
#include <tavik/unique_handle.h>

#include <windows.h>

#include <chrono>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <ratio>

namespace tavik::details {

using timer_duration = std::chrono::duration<std::int64_t, std::ratio<1, 10'000'000>>;

namespace callback_policy {
// The timer callback only resumes the waiter.
struct empty {};
} // namespace callback_policy

class async_timer {
public:
    // Raises the last Win32 error when the thread-pool timer cannot be created.
    async_timer();
    ~async_timer();
    async_timer(const async_timer&) = delete;
    async_timer& operator=(const async_timer&) = delete;

    class awaiter {
    public:
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> handle);
        void await_resume() const;

    private:
        friend class async_timer;
        awaiter(async_timer& timer, std::int64_t due, bool arm) noexcept : timer_(&timer), due_(due), arm_(arm) {}
        async_timer* timer_;
        std::int64_t due_;
        bool arm_;
    };

    [[nodiscard]] awaiter wait(timer_duration due) noexcept { return awaiter(*this, due.count(), true); }
    [[nodiscard]] awaiter wait_next() noexcept { return awaiter(*this, 0, false); }

    // Arms the timer to fire after `due` and then every `period` (0: once).
    void set_periodic(timer_duration due, std::chrono::milliseconds period) noexcept;
    // Stops the timer (no further expiry is queued); a pending wait stays pending.
    void stop() noexcept;
    void cancel() noexcept;
    void close_timer() noexcept;

    // Test seam: the submission cancel() uses to resume the waiter.
    void set_submitter(thread_pool_submitter submit) noexcept { submit_ = submit; }

private:
    static void CALLBACK on_timer(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_TIMER timer);

    // Waits on close: an expiry callback in flight still reads this object until it has handed its
    // waiter over.
    unique_threadpool_timer_wait timer_;
    SRWLOCK lock_ = SRWLOCK_INIT; // guards timer_, waiter_, cancelled_ and the arming of timer_
    std::coroutine_handle<> waiter_;
    bool cancelled_ = false;
    // Set when the timer was stopped under a possibly running expiry: the next wait first lets
    // such a stale callback pass, or it would take that wait's waiter and end it at once.
    bool flush_ = false;
    thread_pool_submitter submit_ = &TrySubmitThreadpoolCallback;
};

class auto_cancel_timer : public async_timer {
public:
    // Raises operation_cancelled, leaving no timer open, when the token is already cancelled.
    explicit auto_cancel_timer(cancellation_token& token);

private:
    cancellation_subscription<std::function<void()>> subscription_;
};

class threadpool_timer {
public:
    threadpool_timer() noexcept = default;
    ~threadpool_timer();
    threadpool_timer(const threadpool_timer&) = delete;
    threadpool_timer& operator=(const threadpool_timer&) = delete;

    void set_relative(timer_duration due) noexcept { due_ = due.count(); }

    bool await_ready() const noexcept { return false; }
    // Raises the last Win32 error when the timer cannot be created.
    void await_suspend(std::coroutine_handle<> handle);
    void await_resume() const noexcept {}

private:
    // Closed without waiting: its one callback resumes the coroutine that may destroy this object on
    // the callback's own thread, where a wait would never end.
    unique_threadpool_timer_nowait timer_;
    std::int64_t due_ = 0;
};

} // namespace tavik::details
