#pragma once
// Scope guards over SRW locks: {lock, owns}; the lock is released at scope exit when owned.

#include <windows.h>

#include <utility>

namespace tavik::details {

class exclusive_lock_guard {
public:
    explicit exclusive_lock_guard(SRWLOCK& lock) noexcept : lock_(&lock), owns_(true) { AcquireSRWLockExclusive(lock_); }
    // Takes the lock only when it is free at once; owns() says whether it did.
    exclusive_lock_guard(SRWLOCK& lock, std::try_to_lock_t) noexcept
        : lock_(&lock), owns_(TryAcquireSRWLockExclusive(lock_) != FALSE) {}
    exclusive_lock_guard(const exclusive_lock_guard&) = delete;
    exclusive_lock_guard& operator=(const exclusive_lock_guard&) = delete;
    exclusive_lock_guard(exclusive_lock_guard&& o) noexcept : lock_(o.lock_), owns_(std::exchange(o.owns_, false)) {}
    ~exclusive_lock_guard() { unlock(); }

    bool owns() const noexcept { return owns_; }
    void lock() noexcept
    {
        if (!owns_) {
            AcquireSRWLockExclusive(lock_);
            owns_ = true;
        }
    }
    void unlock() noexcept
    {
        if (owns_) {
            owns_ = false;
            ReleaseSRWLockExclusive(lock_);
        }
    }

private:
    SRWLOCK* lock_;
    bool owns_;
};

class shared_lock_guard {
public:
    explicit shared_lock_guard(SRWLOCK& lock) noexcept : lock_(&lock), owns_(true) { AcquireSRWLockShared(lock_); }
    shared_lock_guard(SRWLOCK& lock, std::try_to_lock_t) noexcept
        : lock_(&lock), owns_(TryAcquireSRWLockShared(lock_) != FALSE) {}
    shared_lock_guard(const shared_lock_guard&) = delete;
    shared_lock_guard& operator=(const shared_lock_guard&) = delete;
    shared_lock_guard(shared_lock_guard&& o) noexcept : lock_(o.lock_), owns_(std::exchange(o.owns_, false)) {}
    ~shared_lock_guard() { unlock(); }

    bool owns() const noexcept { return owns_; }
    void lock() noexcept
    {
        if (!owns_) {
            AcquireSRWLockShared(lock_);
            owns_ = true;
        }
    }
    void unlock() noexcept
    {
        if (owns_) {
            owns_ = false;
            ReleaseSRWLockShared(lock_);
        }
    }

private:
    SRWLOCK* lock_;
    bool owns_;
};

} // namespace tavik::details
