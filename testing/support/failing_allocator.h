#pragma once
// The test programs' global operator new, which fails on command. Linking test_support replaces
// the runtime's operator new in the whole program; unarmed it is malloc, as the runtime's own is,
// so the runtime's operator delete (free) still matches what it returns. The array and nothrow
// forms of the runtime call this one, so they fail with it.
//
// One failure is armed at a time, for one thread: allocations of every other thread, the
// thread pool's among them, go through.

#include <cstdint>

namespace test_support {

class allocation_failure {
public:
    struct every_allocation_t {
        explicit every_allocation_t() = default;
    };
    static constexpr every_allocation_t every_allocation{};

    // The calling thread's allocation number `n` counted from here (0: its next one) fails, and
    // only that one; later allocations go through.
    explicit allocation_failure(int n) noexcept;
    // Every allocation the calling thread makes fails until this is destroyed.
    explicit allocation_failure(every_allocation_t) noexcept;
    // Disarms, whether or not the failure came, from whichever thread destroys it.
    ~allocation_failure();
    allocation_failure(const allocation_failure&) = delete;
    allocation_failure& operator=(const allocation_failure&) = delete;

    // True once an allocation has failed because of this.
    bool fired() const noexcept;
};

} // namespace test_support
