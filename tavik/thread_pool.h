#pragma once
// Resumption of coroutines on the process's default Windows thread pool, and owning handles of
// thread-pool objects.

#include <windows.h>

#include <coroutine>
#include <utility>

namespace tavik::details {

// Queues the handle's resumption with TrySubmitThreadpoolCallback. When the call fails, raises the
// last Win32 error as a traceable_error and the handle is not resumed.
void submit_to_thread_pool(std::coroutine_handle<> handle);

// Resumes a coroutine that some other party is waiting to see resumed: on a pool thread when one
// can be had, otherwise at once on the calling thread, so the coroutine is never lost. The caller
// must hold no lock that the coroutine might take.
void resume_on_thread_pool_or_inline(std::coroutine_handle<> handle) noexcept;

// `co_await resume_on_thread_pool();` moves the coroutine to a thread-pool thread. A failed
// submission raises the last Win32 error in the coroutine, which then goes on on its own thread.
struct resume_on_thread_pool {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const { submit_to_thread_pool(handle); }
    void await_resume() const noexcept {}
};

// Owns a thread-pool I/O object; closes it with CloseThreadpoolIo when reset or destroyed.
class threadpool_io_handle {
public:
    threadpool_io_handle() noexcept = default;
    explicit threadpool_io_handle(PTP_IO io) noexcept : io_(io) {}
    threadpool_io_handle(threadpool_io_handle&& o) noexcept : io_(std::exchange(o.io_, nullptr)) {}
    threadpool_io_handle& operator=(threadpool_io_handle&& o) noexcept
    {
        if (this != &o)
            reset(std::exchange(o.io_, nullptr));
        return *this;
    }
    ~threadpool_io_handle() { reset(); }

    PTP_IO get() const noexcept { return io_; }
    explicit operator bool() const noexcept { return io_ != nullptr; }
    PTP_IO release() noexcept { return std::exchange(io_, nullptr); }
    void reset(PTP_IO io = nullptr) noexcept
    {
        if (PTP_IO old = std::exchange(io_, io))
            CloseThreadpoolIo(old);
    }

private:
    PTP_IO io_ = nullptr;
};

// Owns a thread-pool timer; closes it with CloseThreadpoolTimer when reset or destroyed, without
// waiting for its callbacks (a callback already queued still runs: its context must outlive it).
class threadpool_timer_handle {
public:
    threadpool_timer_handle() noexcept = default;
    explicit threadpool_timer_handle(PTP_TIMER timer) noexcept : timer_(timer) {}
    threadpool_timer_handle(threadpool_timer_handle&& o) noexcept : timer_(std::exchange(o.timer_, nullptr)) {}
    threadpool_timer_handle& operator=(threadpool_timer_handle&& o) noexcept
    {
        if (this != &o)
            reset(std::exchange(o.timer_, nullptr));
        return *this;
    }
    ~threadpool_timer_handle() { reset(); }

    PTP_TIMER get() const noexcept { return timer_; }
    explicit operator bool() const noexcept { return timer_ != nullptr; }
    PTP_TIMER release() noexcept { return std::exchange(timer_, nullptr); }
    void reset(PTP_TIMER timer = nullptr) noexcept
    {
        if (PTP_TIMER old = std::exchange(timer_, timer))
            CloseThreadpoolTimer(old);
    }

private:
    PTP_TIMER timer_ = nullptr;
};

} // namespace tavik::details
