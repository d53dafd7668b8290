#pragma once
// write_queue: the outgoing messages of one connection, first in first out, drained by the
// connection's single writer.
//
// Once closed it stays closed: later pushes are discarded, and every pop raises the closed error
// (operation_cancelled) even when messages are left, which are then never written.

#include <lurran/message.h>

#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <windows.h>

#include <atomic>
#include <coroutine>
#include <deque>
#include <exception>
#include <utility>

namespace lurran::details {

class write_queue {
public:
    write_queue() = default;
    write_queue(const write_queue&) = delete;
    write_queue& operator=(const write_queue&) = delete;

    // Appends the message and wakes the writer; false (the message discarded) when the queue is
    // closed.
    bool push(message_t message)
    {
        AcquireSRWLockExclusive(&lock_);
        if (closed_error_) {
            ReleaseSRWLockExclusive(&lock_);
            return false;
        }
        try {
            messages_.push_back(std::move(message));
        } catch (...) {
            ReleaseSRWLockExclusive(&lock_);
            throw;
        }
        std::coroutine_handle<> woken = wake_locked();
        ReleaseSRWLockExclusive(&lock_);
        resume(woken);
        return true;
    }

    // Stores operation_cancelled as the closed error and wakes a waiting writer. Idempotent.
    void close() noexcept
    {
        AcquireSRWLockExclusive(&lock_);
        std::coroutine_handle<> woken;
        if (!closed_error_) {
            closed_error_ = std::make_exception_ptr(tavik::details::make_operation_cancelled());
            closed_.store(true, std::memory_order_release);
            woken = wake_locked();
        }
        ReleaseSRWLockExclusive(&lock_);
        resume(woken);
    }

    bool is_closed() const noexcept { return closed_.load(std::memory_order_acquire); }

    std::size_t size() const noexcept
    {
        AcquireSRWLockShared(&lock_);
        std::size_t n = messages_.size();
        ReleaseSRWLockShared(&lock_);
        return n;
    }

    // The pop of the single writer: `message_t m = co_await queue.pop();`
    class pop_awaiter {
    public:
        explicit pop_awaiter(write_queue& q) noexcept : queue_(&q) {}
        bool await_ready() const noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> h) noexcept
        {
            write_queue& q = *queue_;
            AcquireSRWLockExclusive(&q.lock_);
            if (q.closed_error_) {
                error_ = q.closed_error_;
            } else if (!q.messages_.empty()) {
                message_ = std::move(q.messages_.front());
                q.messages_.pop_front();
            } else {
                handle_ = h;
                q.waiter_ = this;
                ReleaseSRWLockExclusive(&q.lock_);
                return true;
            }
            ReleaseSRWLockExclusive(&q.lock_);
            return false;
        }
        message_t await_resume()
        {
            if (error_)
                std::rethrow_exception(error_);
            return std::move(message_);
        }

    private:
        friend class write_queue;
        write_queue* queue_;
        std::coroutine_handle<> handle_;
        message_t message_;
        std::exception_ptr error_;
    };

    pop_awaiter pop() noexcept { return pop_awaiter(*this); }

private:
    // Under the lock: hands the waiting writer the closed error or the front message and returns
    // its handle, to be resumed once the lock is released.
    std::coroutine_handle<> wake_locked() noexcept
    {
        pop_awaiter* w = std::exchange(waiter_, nullptr);
        if (!w)
            return {};
        if (closed_error_) {
            w->error_ = closed_error_;
        } else {
            w->message_ = std::move(messages_.front());
            messages_.pop_front();
        }
        return w->handle_;
    }

    // On a pool thread; on the calling thread only when the pool refuses the work, so that the
    // writer is never lost.
    static void resume(std::coroutine_handle<> h) noexcept
    {
        if (h)
            tavik::details::resume_on_thread_pool_or_inline(h);
    }

    mutable SRWLOCK lock_ = SRWLOCK_INIT; // guards the three fields below
    std::deque<message_t> messages_;
    pop_awaiter* waiter_ = nullptr;
    std::exception_ptr closed_error_;
    std::atomic<bool> closed_{false}; // mirrors closed_error_ for tests without the lock
};

} // namespace lurran::details
