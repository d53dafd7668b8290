#include <tavik/error.h>
#include <tavik/future.h>
#include <tavik/thread_pool.h>

namespace tavik::details {

namespace {

void CALLBACK resume_callback(PTP_CALLBACK_INSTANCE, PVOID context)
{
    std::coroutine_handle<>::from_address(context).resume();
}

} // namespace

void submit_to_thread_pool(std::coroutine_handle<> handle)
{
    if (!TrySubmitThreadpoolCallback(&resume_callback, handle.address(), nullptr))
        throw_last_error();
}

void resume_on_thread_pool_or_inline(std::coroutine_handle<> handle, thread_pool_submitter submit) noexcept
{
    if (!submit(&resume_callback, handle.address(), nullptr))
        handle.resume();
}

void resume_on_thread_pool_or_inline(std::coroutine_handle<> handle) noexcept
{
    resume_on_thread_pool_or_inline(handle, &TrySubmitThreadpoolCallback);
}

} // namespace tavik::details
