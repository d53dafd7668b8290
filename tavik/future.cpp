#include <tavik/future.h>
#include <tavik/when_both_done.h>

#include <windows.h>

namespace tavik::details {

std::coroutine_handle<> promise_core::first_and_queue_rest(waiter_node* list) noexcept
{
    if (!list)
        return std::noop_coroutine();
    // Read everything out of a node before its coroutine can run: the node lives in its frame.
    std::coroutine_handle<> first = list->handle;
    waiter_node* rest = list->next;
    resume_all(rest, &TrySubmitThreadpoolCallback);
    return first;
}

void promise_core::resume_all(waiter_node* list, thread_pool_submitter submit) noexcept
{
    while (list) {
        waiter_node* next = list->next;
        resume_on_thread_pool_or_inline(list->handle, submit);
        list = next;
    }
}

namespace {

struct blocking_state {
    SRWLOCK lock = SRWLOCK_INIT;
    CONDITION_VARIABLE ready = CONDITION_VARIABLE_INIT;
    bool done = false;
};

fire_and_forget blocking_waiter(promise_core* promise, blocking_state* state)
{
    co_await publication_awaiter{promise, {}};
    AcquireSRWLockExclusive(&state->lock);
    state->done = true;
    WakeConditionVariable(&state->ready);
    ReleaseSRWLockExclusive(&state->lock);
}

} // namespace

void wait_blocking_core(promise_core& promise) noexcept
{
    if (promise.is_ready())
        return;
    blocking_state state;
    try {
        blocking_waiter(&promise, &state);
    } catch (...) {
        // No memory for the waiter's frame: poll instead of failing a wait that must not throw.
        while (!promise.is_ready())
            Sleep(1);
        return;
    }
    AcquireSRWLockExclusive(&state.lock);
    while (!state.done)
        SleepConditionVariableSRW(&state.ready, &state.lock, INFINITE, 0);
    ReleaseSRWLockExclusive(&state.lock);
}

void complete_async(const std::shared_ptr<promise_type_<void>>& promise, thread_pool_submitter submit) noexcept
{
    if (promise)
        promise->set_value_with(submit);
}

future<void> when_both_done(future<void> a, future<void> b)
{
    std::exception_ptr failure;
    try {
        co_await a;
    } catch (...) {
        failure = std::current_exception();
    }
    try {
        co_await b;
    } catch (...) {
        if (!failure)
            failure = std::current_exception();
    }
    if (failure)
        std::rethrow_exception(failure);
}

} // namespace tavik::details
