#include <dedup/engine/async_shared_lock.h>

#include <tavik/thread_pool.h>

namespace dedup {

bool async_shared_lock::try_acquire(bool exclusive) noexcept
{
    AcquireSRWLockExclusive(&guard_);
    bool granted = false;
    if (exclusive ? holders_ == 0 : (holders_ >= 0 && head_ == nullptr)) {
        holders_ = exclusive ? -1 : holders_ + 1;
        granted = true;
    }
    ReleaseSRWLockExclusive(&guard_);
    return granted;
}

bool async_shared_lock::enqueue(waiter& node) noexcept
{
    AcquireSRWLockExclusive(&guard_);
    // The lock may have been released since await_ready looked.
    if (node.exclusive ? holders_ == 0 : (holders_ >= 0 && head_ == nullptr)) {
        holders_ = node.exclusive ? -1 : holders_ + 1;
        ReleaseSRWLockExclusive(&guard_);
        return false;
    }
    node.next = nullptr;
    if (tail_)
        tail_->next = &node;
    else
        head_ = &node;
    tail_ = &node;
    ReleaseSRWLockExclusive(&guard_);
    return true;
}

async_shared_lock::waiter* async_shared_lock::grant_locked() noexcept
{
    waiter* granted = nullptr;
    waiter** last = &granted;
    while (head_) {
        waiter* w = head_;
        if (w->exclusive ? holders_ != 0 : holders_ < 0)
            break;
        holders_ = w->exclusive ? -1 : holders_ + 1;
        head_ = w->next;
        if (!head_)
            tail_ = nullptr;
        w->next = nullptr;
        *last = w;
        last = &w->next;
        if (w->exclusive)
            break;
    }
    return granted;
}

void async_shared_lock::resume(waiter* granted, tavik::details::thread_pool_submitter submit) noexcept
{
    while (granted) {
        // The node lives in the waiting coroutine's frame: read it before the coroutine can run.
        waiter* next = granted->next;
        tavik::details::resume_on_thread_pool_or_inline(granted->handle, submit);
        granted = next;
    }
}

void async_shared_lock::deferred_resumptions::add(waiter* granted) noexcept
{
    if (!granted)
        return;
    waiter* last = granted;
    while (last->next)
        last = last->next;
    last->next = head_;
    head_ = granted;
}

void async_shared_lock::unlock() noexcept
{
    AcquireSRWLockExclusive(&guard_);
    holders_ = 0;
    waiter* granted = grant_locked();
    ReleaseSRWLockExclusive(&guard_);
    resume(granted, &TrySubmitThreadpoolCallback);
}

void async_shared_lock::unlock(deferred_resumptions& later) noexcept
{
    AcquireSRWLockExclusive(&guard_);
    holders_ = 0;
    waiter* granted = grant_locked();
    ReleaseSRWLockExclusive(&guard_);
    later.add(granted);
}

void async_shared_lock::unlock_shared() noexcept
{
    AcquireSRWLockExclusive(&guard_);
    --holders_;
    waiter* granted = holders_ == 0 ? grant_locked() : nullptr;
    ReleaseSRWLockExclusive(&guard_);
    resume(granted, &TrySubmitThreadpoolCallback);
}

void async_shared_lock::downgrade() noexcept
{
    AcquireSRWLockExclusive(&guard_);
    holders_ = 1;
    waiter* granted = grant_locked();
    ReleaseSRWLockExclusive(&guard_);
    resume(granted, &TrySubmitThreadpoolCallback);
}

std::int32_t async_shared_lock::holders() const noexcept
{
    AcquireSRWLockShared(&guard_);
    std::int32_t value = holders_;
    ReleaseSRWLockShared(&guard_);
    return value;
}

} // namespace dedup
