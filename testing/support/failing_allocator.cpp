#include "failing_allocator.h"

#include <windows.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace {

// 0 when unarmed: no thread has the id 0.
std::atomic<DWORD> armed_thread{0};
// Allocations of the armed thread that still go through before one fails; negative: none does.
std::atomic<long> allocations_left{0};
std::atomic<bool> failure_made{false};

void arm(long left) noexcept
{
    failure_made.store(false);
    allocations_left.store(left);
    armed_thread.store(GetCurrentThreadId());
}

// Called on the armed thread only.
bool fail_this_allocation() noexcept
{
    const long left = allocations_left.load();
    if (left < 0) {
        failure_made.store(true);
        return true;
    }
    if (allocations_left.fetch_sub(1) != 0)
        return false;
    armed_thread.store(0);
    failure_made.store(true);
    return true;
}

} // namespace

namespace test_support {

allocation_failure::allocation_failure(int n) noexcept { arm(n); }
allocation_failure::allocation_failure(every_allocation_t) noexcept { arm(-1); }
allocation_failure::~allocation_failure() { armed_thread.store(0); }
bool allocation_failure::fired() const noexcept { return failure_made.load(); }

} // namespace test_support

void* operator new(std::size_t size)
{
    if (armed_thread.load(std::memory_order_relaxed) == GetCurrentThreadId() && fail_this_allocation())
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}
