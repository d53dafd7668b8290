#pragma once
// write_queue: the outgoing messages of one connection, first in first out, drained by the
// connection's single writer.
//
// Once closed it stays closed: later pushes are discarded, and every pop raises the closed error
// (operation_cancelled) even when messages are left, which are then never written.
//
// It also counts the answers the connection owes its peer: requests read whose reply (or error
// reply) the writer has not yet taken. A peer that sends requests without reading the answers
// would otherwise make the queue, and the requests running, grow without bound; once
// `answers_limit` are owed the reader waits in room() until the writer has taken half of them, so
// the peer's own writes stall instead.

#include <lurran/message.h>

#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <windows.h>

#include <atomic>
#include <coroutine>
#include <cstddef>
#include <deque>
#include <exception>
#include <utility>

namespace lurran::details {

class write_queue {
public:
    static constexpr std::size_t answers_limit = 1024;

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
        woken w = wake_writer_locked();
        ReleaseSRWLockExclusive(&lock_);
        w.resume();
        return true;
    }

    // Stores operation_cancelled as the closed error and wakes a waiting writer and a reader
    // waiting for room. Idempotent.
    void close() noexcept
    {
        AcquireSRWLockExclusive(&lock_);
        woken w;
        if (!closed_error_) {
            closed_error_ = std::make_exception_ptr(tavik::details::make_operation_cancelled());
            closed_.store(true, std::memory_order_release);
            w = wake_writer_locked();
            w.reader = std::exchange(room_waiter_, {});
        }
        ReleaseSRWLockExclusive(&lock_);
        w.resume();
    }

    bool is_closed() const noexcept { return closed_.load(std::memory_order_acquire); }

    std::size_t size() const noexcept
    {
        AcquireSRWLockShared(&lock_);
        std::size_t n = messages_.size();
        ReleaseSRWLockShared(&lock_);
        return n;
    }

    // The reader has taken a request: one more answer is owed.
    void owe_answer() noexcept
    {
        AcquireSRWLockExclusive(&lock_);
        ++owed_;
        ReleaseSRWLockExclusive(&lock_);
    }

    std::size_t answers_owed() const noexcept
    {
        AcquireSRWLockShared(&lock_);
        std::size_t n = owed_;
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
            woken w;
            if (q.closed_error_) {
                error_ = q.closed_error_;
            } else if (!q.messages_.empty()) {
                w.reader = q.take_front_locked(message_);
            } else {
                handle_ = h;
                q.waiter_ = this;
                ReleaseSRWLockExclusive(&q.lock_);
                return true;
            }
            ReleaseSRWLockExclusive(&q.lock_);
            w.resume();
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

    // The reader's wait for room: goes on at once while fewer than answers_limit answers are
    // owed or the queue is closed; otherwise resumes (on a pool thread) once half of them have
    // been taken by the writer, or at the close.
    class room_awaiter {
    public:
        explicit room_awaiter(write_queue& q) noexcept : queue_(&q) {}
        bool await_ready() const noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> h) noexcept
        {
            write_queue& q = *queue_;
            AcquireSRWLockExclusive(&q.lock_);
            const bool wait = !q.closed_error_ && q.owed_ >= answers_limit;
            if (wait)
                q.room_waiter_ = h;
            ReleaseSRWLockExclusive(&q.lock_);
            return wait;
        }
        void await_resume() const noexcept {}

    private:
        write_queue* queue_;
    };

    room_awaiter room() noexcept { return room_awaiter(*this); }

private:
    // Coroutines to resume once the lock is released.
    struct woken {
        std::coroutine_handle<> writer;
        std::coroutine_handle<> reader;
        // On a pool thread; on the calling thread only when the pool refuses the work, so that
        // no coroutine is ever lost.
        void resume() const noexcept
        {
            if (writer)
                tavik::details::resume_on_thread_pool_or_inline(writer);
            if (reader)
                tavik::details::resume_on_thread_pool_or_inline(reader);
        }
    };

    // Under the lock: moves the front message out; when it is an answer that brings the owed
    // count down to the low mark, returns the reader waiting for room.
    std::coroutine_handle<> take_front_locked(message_t& into) noexcept
    {
        into = std::move(messages_.front());
        messages_.pop_front();
        const message_kind kind = into.kind();
        if ((kind == message_kind::reply || kind == message_kind::error_reply) && owed_ > 0) {
            --owed_;
            if (room_waiter_ && owed_ <= answers_limit / 2)
                return std::exchange(room_waiter_, {});
        }
        return {};
    }

    // Under the lock: hands the waiting writer the closed error or the front message.
    woken wake_writer_locked() noexcept
    {
        woken w;
        pop_awaiter* waiter = std::exchange(waiter_, nullptr);
        if (!waiter)
            return w;
        if (closed_error_)
            waiter->error_ = closed_error_;
        else
            w.reader = take_front_locked(waiter->message_);
        w.writer = waiter->handle_;
        return w;
    }

    mutable SRWLOCK lock_ = SRWLOCK_INIT; // guards every field below but closed_
    std::deque<message_t> messages_;
    pop_awaiter* waiter_ = nullptr;
    std::exception_ptr closed_error_;
    std::size_t owed_ = 0;
    std::coroutine_handle<> room_waiter_;
    std::atomic<bool> closed_{false}; // mirrors closed_error_ for tests without the lock
};

} // namespace lurran::details
