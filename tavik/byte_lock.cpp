#include <tavik/byte_lock.h>

#include <windows.h>

#include <cstdlib>

namespace tavik::details {

void byte_lock::lock_contended(std::uint8_t seen) noexcept
{
    if (seen > contended_)
        std::abort(); // the byte was overwritten: nothing this lock guards can be trusted
    // Classic three-state lock: mark it contended and sleep until a release sets it free.
    while (state_.exchange(contended_, std::memory_order_acquire) != free_) {
        std::uint8_t contended = contended_;
        WaitOnAddress(&state_, &contended, sizeof(contended), INFINITE);
    }
}

void byte_lock::wake_one() noexcept
{
    WakeByAddressSingle(&state_);
}

} // namespace tavik::details
