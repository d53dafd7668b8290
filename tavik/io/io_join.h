#pragma once
// Waiting for several operations at once.
//
// The awaiting coroutine keeps an `io_join` in its frame, starts one child per operation, then
// awaits the join:
//
//     io_join join;
//     auto header = file.write(0, header_bytes, 24);
//     auto records = file.write(24, record_bytes, record_length);
//     std::uint32_t header_written = 0, records_written = 0;
//     join.start(header, header_written);
//     join.start(records, records_written);
//     co_await join;   // raises the first failure after every child has ended
//
// Contract: the join is awaited once, by the coroutine that owns it, after its last start. Each
// child is an eager coroutine that runs at once on the starting thread up to its operation's first
// suspension and continues wherever the operation completes; the awaiting coroutine resumes on
// the thread of the child that ends last, or does not suspend when every child has already ended.
// An operation passed as an lvalue (an awaiter, which must not move) is awaited in place and must
// outlive the join's await, which it does in the awaiting coroutine's frame; one passed as an
// rvalue is moved into its child. Result slots are written before the join's await ends.
// Every child runs to its end even when another fails; only the first failure is kept. Starting
// never throws: a child that cannot be made (no memory for its frame) counts as failed and ended,
// so the awaiting coroutine still waits for the children already running before it goes on.

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <type_traits>
#include <utility>

#include <tavik/future.h>

namespace tavik::io {

class io_join {
public:
    io_join() noexcept = default;
    io_join(const io_join&) = delete;
    io_join& operator=(const io_join&) = delete;

    // Starts a child awaiting `operation`; its result is discarded.
    template <typename Awaitable>
    void start(Awaitable&& operation) noexcept
    {
        start_child(std::forward<Awaitable>(operation), static_cast<discard*>(nullptr));
    }

    // Starts a child awaiting `operation`; on success its result is stored in `slot`.
    template <typename Awaitable, typename T>
    void start(Awaitable&& operation, T& slot) noexcept
    {
        start_child(std::forward<Awaitable>(operation), &slot);
    }

    // Awaited in place, through a small awaiter, so that the join itself is never copied or moved.
    class awaiter {
    public:
        explicit awaiter(io_join& join) noexcept : join_(&join) {}
        bool await_ready() const noexcept { return false; }
        bool await_suspend(std::coroutine_handle<> awaiting) noexcept
        {
            join_->waiter_ = awaiting;
            // Drops the awaiting coroutine's own share of the count, which kept children that
            // ended before this point from resuming a coroutine that was not suspended yet.
            return join_->remaining_.fetch_sub(1, std::memory_order_acq_rel) != 1;
        }
        void await_resume() const
        {
            if (join_->failure_)
                std::rethrow_exception(join_->failure_);
        }

    private:
        io_join* join_;
    };
    awaiter operator co_await() & noexcept { return awaiter(*this); }

private:
    struct discard {};

    template <typename Awaitable, typename Slot>
    void start_child(Awaitable&& operation, Slot* slot) noexcept
    {
        remaining_.fetch_add(1, std::memory_order_relaxed);
        try {
            if constexpr (std::is_lvalue_reference_v<Awaitable>)
                child_in_place(*this, operation, slot);
            else
                child_owning(*this, std::move(operation), slot);
        } catch (...) {
            // Only the child's frame allocation can throw here (its body catches everything), so
            // it never ran. Letting the exception unwind the awaiting coroutine instead would free
            // the join and the in-place operations under children that are still pending. The
            // awaiting coroutine's own share keeps the count above 0, so this never resumes it.
            fail(std::current_exception());
            child_ended();
        }
    }

    template <typename Awaitable, typename Slot>
    static tavik::details::fire_and_forget child_in_place(io_join& join, Awaitable& operation, Slot* slot)
    {
        try {
            if constexpr (std::is_same_v<Slot, discard>)
                co_await operation;
            else
                *slot = co_await operation;
        } catch (...) {
            join.fail(std::current_exception());
        }
        join.child_ended();
    }

    template <typename Awaitable, typename Slot>
    static tavik::details::fire_and_forget child_owning(io_join& join, Awaitable operation, Slot* slot)
    {
        try {
            if constexpr (std::is_same_v<Slot, discard>)
                co_await std::move(operation);
            else
                *slot = co_await std::move(operation);
        } catch (...) {
            join.fail(std::current_exception());
        }
        join.child_ended();
    }

    void fail(std::exception_ptr failure) noexcept
    {
        if (!failed_.exchange(true, std::memory_order_relaxed))
            failure_ = std::move(failure);
    }

    // The last touch of the join by a child: the awaiting coroutine may destroy it once resumed.
    void child_ended() noexcept
    {
        if (remaining_.fetch_sub(1, std::memory_order_acq_rel) == 1)
            waiter_.resume();
    }

    std::exception_ptr failure_;
    std::atomic<bool> failed_{false};
    std::atomic<std::uint32_t> remaining_{1};
    std::coroutine_handle<> waiter_;
};

} // namespace tavik::io
