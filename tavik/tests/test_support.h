#pragma once
// Small helpers shared by the tavik tests.

#include <windows.h>

#include <atomic>
#include <chrono>
#include <coroutine>
#include <thread>

namespace tavik_test {

// Polls until pred() holds or the time-out passes; true when it held.
template <class P>
bool eventually(P pred, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000))
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(1);
    }
    return true;
}

// Suspends the awaiting coroutine and keeps its handle, for the test to resume when it chooses.
struct parked {
    std::atomic<void*> handle{nullptr};

    struct awaiter {
        parked* slot;
        bool await_ready() const noexcept { return false; }
        void await_suspend(std::coroutine_handle<> h) noexcept { slot->handle.store(h.address()); }
        void await_resume() const noexcept {}
    };
    awaiter operator co_await() noexcept { return awaiter{this}; }

    bool waiting() const noexcept { return handle.load() != nullptr; }
    void resume()
    {
        void* h = handle.exchange(nullptr);
        std::coroutine_handle<>::from_address(h).resume();
    }
};

// A submitter that refuses every submission, as a thread pool out of resources would.
inline BOOL WINAPI refusing_submitter(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// Counts live instances, to see that frames and results are destroyed exactly once.
struct counted {
    static inline std::atomic<int> live{0};
    int value;
    explicit counted(int v = 0) : value(v) { ++live; }
    counted(const counted& o) : value(o.value) { ++live; }
    counted(counted&& o) noexcept : value(o.value) { ++live; }
    ~counted() { --live; }
};

} // namespace tavik_test
