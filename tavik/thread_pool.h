#pragma once
// Resumption of coroutines on the process's default Windows thread pool. The owners of thread-pool
// objects are in tavik/unique_handle.h.

#include <tavik/unique_handle.h>

#include <windows.h>

#include <coroutine>

namespace tavik::details {

// Queues the handle's resumption with TrySubmitThreadpoolCallback. When the call fails, raises the
// last Win32 error as a traceable_error and the handle is not resumed.
void submit_to_thread_pool(std::coroutine_handle<> handle);

// Resumes a coroutine that some other party is waiting to see resumed: on a pool thread when one
// can be had, otherwise at once on the calling thread, so the coroutine is never lost. The caller
// must hold no lock that the coroutine might take.
void resume_on_thread_pool_or_inline(std::coroutine_handle<> handle) noexcept;

// `co_await resume_on_thread_pool();` moves the coroutine to a thread-pool thread. A failed
// submission raises the last Win32 error in the coroutine, which then goes on on its own thread.
struct resume_on_thread_pool {
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> handle) const { submit_to_thread_pool(handle); }
    void await_resume() const noexcept {}
};

} // namespace tavik::details
