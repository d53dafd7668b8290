#include <tavik/thread_pool.h>
#include <tavik/timer.h>

#include <algorithm>

namespace tavik::details {

namespace {

// A relative due time as SetThreadpoolTimer takes it: a negative FILETIME in 100-ns units.
FILETIME relative_due(std::int64_t due) noexcept
{
    const std::int64_t relative = -std::max<std::int64_t>(due, 1);
    ULARGE_INTEGER value;
    value.QuadPart = static_cast<ULONGLONG>(relative);
    return FILETIME{value.LowPart, value.HighPart};
}

} // namespace

async_timer::async_timer() : timer_(CreateThreadpoolTimer(&on_timer, this, nullptr))
{
    if (!timer_)
        throw_last_error();
}

async_timer::~async_timer()
{
    close_timer();
}

void async_timer::awaiter::await_suspend(std::coroutine_handle<> handle)
{
    async_timer& t = *timer_;
    AcquireSRWLockExclusive(&t.lock_);
    if (t.flush_ && t.timer_ && !t.cancelled_) {
        // An expiry that fired just before a cancel or stop may still be on its way to the lock.
        // Waiting here, on the waiting coroutine's side and outside the lock, keeps cancel() from
        // ever blocking; the callback's short part before it lets go of the timer needs only the
        // lock, so this wait is brief.
        t.flush_ = false;
        PTP_TIMER timer = t.timer_.get();
        ReleaseSRWLockExclusive(&t.lock_);
        WaitForThreadpoolTimerCallbacks(timer, TRUE);
        AcquireSRWLockExclusive(&t.lock_);
    }
    if (t.cancelled_ || !t.timer_) {
        t.cancelled_ = false;
        ReleaseSRWLockExclusive(&t.lock_);
        throw_timer_cancelled();
    }
    t.waiter_ = handle;
    // Armed under the lock: a cancel cannot slip in between storing the waiter and arming, resume
    // the waiter, and let it destroy the timer before it is armed.
    if (arm_) {
        FILETIME due = relative_due(due_);
        SetThreadpoolTimer(t.timer_.get(), &due, 0, 0);
    }
    ReleaseSRWLockExclusive(&t.lock_);
}

void async_timer::awaiter::await_resume() const
{
    async_timer& t = *timer_;
    AcquireSRWLockExclusive(&t.lock_);
    if (t.cancelled_) {
        t.cancelled_ = false;
        ReleaseSRWLockExclusive(&t.lock_);
        throw_timer_cancelled();
    }
    ReleaseSRWLockExclusive(&t.lock_);
}

void CALLBACK async_timer::on_timer(PTP_CALLBACK_INSTANCE instance, PVOID context, PTP_TIMER)
{
    auto* self = static_cast<async_timer*>(context);
    AcquireSRWLockExclusive(&self->lock_);
    std::coroutine_handle<> waiter = std::exchange(self->waiter_, nullptr);
    ReleaseSRWLockExclusive(&self->lock_);
    // From here on the timer is not touched: a closing timer no longer waits for this callback,
    // so the waiter may destroy its timer on this very thread.
    DisassociateCurrentThreadFromCallback(instance);
    if (waiter)
        waiter.resume();
}

void async_timer::set_periodic(timer_duration due, std::chrono::milliseconds period) noexcept
{
    AcquireSRWLockExclusive(&lock_);
    if (timer_) {
        FILETIME first = relative_due(due.count());
        SetThreadpoolTimer(timer_.get(), &first, static_cast<DWORD>(period.count()), 0);
    }
    ReleaseSRWLockExclusive(&lock_);
}

void async_timer::stop() noexcept
{
    AcquireSRWLockExclusive(&lock_);
    if (timer_)
        SetThreadpoolTimer(timer_.get(), nullptr, 0, 0);
    flush_ = true;
    ReleaseSRWLockExclusive(&lock_);
}

void async_timer::cancel() noexcept
{
    // Whoever takes the waiter under the lock resumes it: the expiry callback or this call. No
    // wait for callbacks here, so a cancel running beside an expiry never waits on a waiter's
    // teardown.
    AcquireSRWLockExclusive(&lock_);
    cancelled_ = true;
    flush_ = true;
    if (timer_)
        SetThreadpoolTimer(timer_.get(), nullptr, 0, 0);
    std::coroutine_handle<> waiter = std::exchange(waiter_, nullptr);
    const thread_pool_submitter submit = submit_;
    ReleaseSRWLockExclusive(&lock_);
    if (waiter)
        resume_on_thread_pool_or_inline(waiter, submit);
}

void async_timer::close_timer() noexcept
{
    // Taken out under the lock, closed outside it: the wait for callbacks in flight must not hold
    // the lock that those callbacks take.
    AcquireSRWLockExclusive(&lock_);
    unique_threadpool_timer_wait timer = std::move(timer_);
    ReleaseSRWLockExclusive(&lock_);
}

auto_cancel_timer::auto_cancel_timer(cancellation_token& token)
    : async_timer(), subscription_(token, std::function<void()>([this] { cancel(); }))
{
}

namespace {

void CALLBACK resume_after_delay(PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER)
{
    std::coroutine_handle<>::from_address(context).resume();
}

} // namespace

threadpool_timer::~threadpool_timer() = default;

void threadpool_timer::await_suspend(std::coroutine_handle<> handle)
{
    PTP_TIMER timer = CreateThreadpoolTimer(&resume_after_delay, handle.address(), nullptr);
    if (!timer)
        throw_last_error();
    // The previous await's timer is closed here, possibly from inside its own callback (the
    // coroutine resumed there awaits again): its policy does not wait.
    timer_.reset(timer);
    FILETIME due = relative_due(due_);
    // Once armed the coroutine may resume and free this object: nothing after this touches it.
    SetThreadpoolTimer(timer, &due, 0, 0);
}

} // namespace tavik::details
