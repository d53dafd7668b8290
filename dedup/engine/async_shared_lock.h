#pragma once
// A reader-writer lock for coroutines whose holds span a co_await.
//
// An SRW lock must be released by the thread that took it, but a coroutine that holds a lock across
// an await (a block file's lock while the file loads; a block view that a reader keeps while it
// copies) continues on whichever thread completed the await. This lock has no owner thread: any
// thread may release what another took. Waiting suspends the coroutine instead of blocking its
// thread; waiters are served in arrival order (shared waiters behind a waiting exclusive one wait
// for it, so loads are not starved by a stream of readers) and each is resumed on a thread-pool
// thread. When the pool refuses the work, the waiter runs on the releasing thread instead, so it
// is never lost; a release made while another lock is held (the cache eviction releases file
// locks under the store lock) therefore hands its waiters to a deferred_resumptions declared
// before that lock's guard, which resumes them once the lock is released: a waiter run inline
// under the store lock would deadlock on it.
//
//     co_await lock.lock_shared();   ...   lock.unlock_shared();
//     co_await lock.lock();          ...   lock.downgrade(); ... lock.unlock_shared();
//     if (lock.try_lock()) { ...; lock.unlock(); }     // never waits: for holders of other locks
//     deferred_resumptions later;  exclusive_lock_guard g(other);  ...  lock.unlock(later);
//
// Awaiting is only for coroutines; a lock awaiter is awaited once, where it was made.

#include <tavik/future.h>

#include <windows.h>

#include <coroutine>
#include <cstdint>

namespace dedup {

class async_shared_lock {
    struct waiter {
        waiter* next = nullptr;
        std::coroutine_handle<> handle;
        bool exclusive = false;
    };

public:
    // Waiters granted by releases made under another lock; resumed (each on the pool, or inline
    // when the pool refuses) when this goes, which must be after that lock is released.
    class deferred_resumptions {
    public:
        explicit deferred_resumptions(
            tavik::details::thread_pool_submitter submit = &TrySubmitThreadpoolCallback) noexcept
            : submit_(submit) {}
        deferred_resumptions(const deferred_resumptions&) = delete;
        deferred_resumptions& operator=(const deferred_resumptions&) = delete;
        ~deferred_resumptions() { resume(head_, submit_); }

    private:
        friend class async_shared_lock;
        void add(waiter* granted) noexcept;
        waiter* head_ = nullptr;
        tavik::details::thread_pool_submitter submit_;
    };

    class [[nodiscard]] awaiter {
    public:
        awaiter(async_shared_lock& lock, bool exclusive) noexcept : lock_(&lock) { node_.exclusive = exclusive; }
        // Copyable only because GCC 12 copies awaiters that await_transform passes through; a copy
        // is made before the node is ever linked.
        awaiter(const awaiter&) noexcept = default;
        awaiter& operator=(const awaiter&) = delete;

        bool await_ready() noexcept { return lock_->try_acquire(node_.exclusive); }
        bool await_suspend(std::coroutine_handle<> handle) noexcept
        {
            node_.handle = handle;
            return lock_->enqueue(node_);
        }
        void await_resume() const noexcept {}

    private:
        async_shared_lock* lock_;
        waiter node_;
    };

    async_shared_lock() noexcept = default;
    async_shared_lock(const async_shared_lock&) = delete;
    async_shared_lock& operator=(const async_shared_lock&) = delete;

    awaiter lock_shared() noexcept { return awaiter(*this, false); }
    awaiter lock() noexcept { return awaiter(*this, true); }

    // Never wait. A shared try fails while an exclusive waiter is queued.
    bool try_lock() noexcept { return try_acquire(true); }
    bool try_lock_shared() noexcept { return try_acquire(false); }

    void unlock() noexcept;
    // Releases now; the waiters it grants are resumed when `later` goes.
    void unlock(deferred_resumptions& later) noexcept;
    void unlock_shared() noexcept;
    // Exclusive to shared with no moment unlocked in between.
    void downgrade() noexcept;

    // For tests and assertions: -1 held exclusively, n > 0 held shared n times, 0 free.
    std::int32_t holders() const noexcept;

private:
    bool try_acquire(bool exclusive) noexcept;
    bool enqueue(waiter& node) noexcept;
    // Under guard_: takes out the waiters that can be granted now; the caller resumes them after
    // releasing guard_.
    waiter* grant_locked() noexcept;
    static void resume(waiter* granted, tavik::details::thread_pool_submitter submit) noexcept;

    mutable SRWLOCK guard_ = SRWLOCK_INIT;  // held only for the few instructions of each call
    std::int32_t holders_ = 0;
    waiter* head_ = nullptr;
    waiter* tail_ = nullptr;
};

} // namespace dedup
