#pragma once
// shared_future_impl<T>: the result of one operation awaited by any number of coroutines and, via
// as_future, plain threads. A shared future is a std::shared_ptr<shared_future_impl<T>>; every
// party that awaits it holds a copy of that pointer while it waits.
//
// Contract: awaiters registered before the operation ends are resumed each on a thread-pool thread
// of its own (never inside the completing coroutine), in any order; an awaiter that comes after the
// outcome is known goes on at once on its own thread. Each gets the same outcome: a copy of the
// value, or a rethrown copy of the stored exception. The operation runs on by itself whether or
// not anybody awaits it.

#include <tavik/future.h>

#include <windows.h>

#include <atomic>
#include <coroutine>
#include <memory>
#include <vector>

namespace tavik::details {

template <class T = void>
class shared_future_impl {
public:
    explicit shared_future_impl(future<T> source) : future_(std::move(source)) {}
    shared_future_impl(const shared_future_impl&) = delete;
    shared_future_impl& operator=(const shared_future_impl&) = delete;

    // Whether the operation's outcome is known; never blocks.
    bool is_ready() const noexcept { return future_.is_ready(); }

    // A future that completes with the same outcome; a plain thread can wait for it with
    // wait_blocking / wait_blocking_result / get.
    static future<T> as_future(std::shared_ptr<shared_future_impl> self)
    {
        if constexpr (std::is_void_v<T>)
            co_await self;
        else
            co_return co_await self;
    }

    class awaiter {
    public:
        explicit awaiter(std::shared_ptr<shared_future_impl> self) noexcept : self_(std::move(self)) {}
        bool await_ready() const noexcept { return self_->state_.load(std::memory_order_acquire) == ready_state; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<> handle) { return self_->add_awaiter(handle); }
        T await_resume() const
        {
            auto& p = self_->future_.promise();
            if (p.has_exception())
                std::rethrow_exception(p.exception());
            if constexpr (!std::is_void_v<T>)
                return T(std::get<2>(p.result));
        }

    private:
        std::shared_ptr<shared_future_impl> self_;
    };

private:
    static constexpr int idle_state = 0;    // nobody has awaited yet
    static constexpr int driving_state = 1; // the driver runs; the outcome is not handed out yet
    static constexpr int ready_state = 2;   // every awaiter registered until then has been queued

    // Coroutine started suspended by the first awaiter's await_suspend, which transfers to it once
    // the awaiter is fully suspended; it frees its own frame when it ends.
    struct driver {
        struct promise_type {
            driver get_return_object() noexcept { return driver{std::coroutine_handle<promise_type>::from_promise(*this)}; }
            std::suspend_always initial_suspend() const noexcept { return {}; }
            std::suspend_never final_suspend() const noexcept { return {}; }
            void return_void() const noexcept {}
            void unhandled_exception() const noexcept {}
        };
        std::coroutine_handle<promise_type> handle;
    };

    // Holds a plain pointer: the first awaiter, still registered, keeps the state alive until the
    // driver has taken the awaiters out.
    static driver drive(shared_future_impl* self)
    {
        co_await publication_awaiter{&self->future_.promise(), {}};
        std::vector<std::coroutine_handle<>> awaiters;
        AcquireSRWLockExclusive(&self->lock_);
        self->state_.store(ready_state, std::memory_order_release);
        awaiters.swap(self->awaiters_);
        ReleaseSRWLockExclusive(&self->lock_);
        for (std::coroutine_handle<> h : awaiters)
            resume_on_thread_pool_or_inline(h, &TrySubmitThreadpoolCallback);
    }

    std::coroutine_handle<> add_awaiter(std::coroutine_handle<> handle)
    {
        AcquireSRWLockExclusive(&lock_);
        const int state = state_.load(std::memory_order_relaxed);
        if (state == ready_state || (state == idle_state && future_.is_ready())) {
            state_.store(ready_state, std::memory_order_release);
            ReleaseSRWLockExclusive(&lock_);
            return handle; // go on at once
        }
        try {
            awaiters_.push_back(handle);
            if (state == idle_state) {
                driver d = drive(this);
                state_.store(driving_state, std::memory_order_relaxed);
                ReleaseSRWLockExclusive(&lock_);
                return d.handle;
            }
        } catch (...) {
            if (!awaiters_.empty() && awaiters_.back() == handle)
                awaiters_.pop_back();
            ReleaseSRWLockExclusive(&lock_);
            throw;
        }
        ReleaseSRWLockExclusive(&lock_);
        return std::noop_coroutine();
    }

    future<T> future_;
    SRWLOCK lock_ = SRWLOCK_INIT; // guards state_ changes and awaiters_
    std::atomic<int> state_{idle_state};
    std::vector<std::coroutine_handle<>> awaiters_;
};

template <class T>
typename shared_future_impl<T>::awaiter operator co_await(const std::shared_ptr<shared_future_impl<T>>& shared) noexcept
{
    return typename shared_future_impl<T>::awaiter(shared);
}

template <class T>
std::shared_ptr<shared_future_impl<T>> make_shared_future(future<T> source)
{
    return std::make_shared<shared_future_impl<T>>(std::move(source));
}

} // namespace tavik::details
