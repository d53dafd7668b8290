#pragma once
// The one-byte lock of every promise: no kernel object, one atomic operation when uncontended;
// contended takers sleep on the byte with WaitOnAddress.

#include <atomic>
#include <cstdint>
#include <utility>

namespace tavik::details {

class byte_lock {
public:
    byte_lock() noexcept = default;
    byte_lock(const byte_lock&) = delete;
    byte_lock& operator=(const byte_lock&) = delete;

    void lock() noexcept
    {
        std::uint8_t expected = free_;
        if (state_.compare_exchange_strong(expected, taken_, std::memory_order_acquire))
            return;
        lock_contended(expected);
    }

    void unlock() noexcept
    {
        if (state_.exchange(free_, std::memory_order_release) == contended_)
            wake_one();
    }

private:
    // 1 free, 0 taken, 2 taken with sleepers; anything else is a broken invariant and ends the
    // process.
    static constexpr std::uint8_t taken_ = 0;
    static constexpr std::uint8_t free_ = 1;
    static constexpr std::uint8_t contended_ = 2;

    void lock_contended(std::uint8_t seen) noexcept;
    void wake_one() noexcept;

    std::atomic<std::uint8_t> state_{free_};
};

// Holds a byte_lock for a scope; release() ends the hold early.
class byte_lock_guard {
public:
    explicit byte_lock_guard(byte_lock& lock) noexcept : lock_(&lock) { lock.lock(); }
    byte_lock_guard(const byte_lock_guard&) = delete;
    byte_lock_guard& operator=(const byte_lock_guard&) = delete;
    ~byte_lock_guard() { release(); }
    void release() noexcept
    {
        if (lock_)
            std::exchange(lock_, nullptr)->unlock();
    }

private:
    byte_lock* lock_;
};

} // namespace tavik::details
