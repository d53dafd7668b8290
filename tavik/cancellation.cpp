#include <tavik/cancellation.h>

namespace tavik::details {

class cancellation_source_body {
public:
    using token_list = boost::intrusive::list<cancellation_token, boost::intrusive::constant_time_size<false>>;

    SRWLOCK lock = SRWLOCK_INIT; // guards everything below
    token_list tokens;
    std::vector<std::weak_ptr<cancellation_source_body>> children;
    bool cancelled = false;

    ~cancellation_source_body() { tokens.clear(); }

    // Under this body's lock (and the locks of every ancestor being cancelled): sets the flags and
    // starts the callbacks. Callbacks the pool refused are chained on `refused` and run by the
    // caller once every lock is released.
    void cancel_locked(thread_pool_submitter submit, cancellation_subscription_base*& refused) noexcept
    {
        AcquireSRWLockExclusive(&lock);
        if (cancelled) {
            ReleaseSRWLockExclusive(&lock);
            return;
        }
        cancelled = true;
        for (cancellation_token& token : tokens) {
            AcquireSRWLockExclusive(&token.lock_);
            token.cancelled_.store(1, std::memory_order_release);
            if (token.coroutine_)
                token.coroutine_->cancelled.store(1, std::memory_order_release);
            for (cancellation_subscription_base& subscription : token.subscriptions_)
                subscription.invoke(submit, refused);
            ReleaseSRWLockExclusive(&token.lock_);
        }
        for (std::weak_ptr<cancellation_source_body>& weak : children) {
            if (std::shared_ptr<cancellation_source_body> child = weak.lock())
                child->cancel_locked(submit, refused);
        }
        children.clear();
        children.shrink_to_fit();
        ReleaseSRWLockExclusive(&lock);
    }
};

cancellation_source::cancellation_source() : body_(std::make_shared<cancellation_source_body>()) {}

void cancellation_source::cancel(thread_pool_submitter submit) const noexcept
{
    if (!body_)
        return;
    cancellation_subscription_base* refused = nullptr;
    body_->cancel_locked(submit, refused);
    while (refused) {
        cancellation_subscription_base* subscription = refused;
        refused = subscription->refused_next_;
        if (refused)
            refused->refused_link_ = &refused;
        subscription->refused_next_ = nullptr;
        subscription->refused_link_ = nullptr;
        subscription->run_and_mark_done();
    }
}

bool cancellation_source::is_cancelled() const noexcept
{
    if (!body_)
        return false;
    AcquireSRWLockShared(&body_->lock);
    const bool cancelled = body_->cancelled;
    ReleaseSRWLockShared(&body_->lock);
    return cancelled;
}

cancellation_source make_cancellation_source_body()
{
    return cancellation_source(std::make_shared<cancellation_source_body>());
}

cancellation_source make_linked_cancellation_source(const cancellation_source& parent)
{
    auto child = std::make_shared<cancellation_source_body>();
    if (const auto& body = parent.body()) {
        AcquireSRWLockExclusive(&body->lock);
        if (body->cancelled) {
            child->cancelled = true;
        } else {
            // Children dropped by their owners leave expired entries behind; a long-lived parent
            // (a server's source, with one child per connection) would otherwise grow forever.
            auto& children = body->children;
            if (children.size() == children.capacity())
                std::erase_if(children, [](const auto& weak) { return weak.expired(); });
            try {
                children.push_back(child);
            } catch (...) {
                ReleaseSRWLockExclusive(&body->lock);
                throw;
            }
        }
        ReleaseSRWLockExclusive(&body->lock);
    }
    return cancellation_source(std::move(child));
}

cancellation_token::cancellation_token(const cancellation_source& source, promise_base* coroutine)
    : source_(source.body()), coroutine_(coroutine)
{
    if (!source_)
        return;
    // One exclusive hold for the test and the link: a cancel in between would otherwise pass this
    // token by and the coroutine would never learn of it.
    AcquireSRWLockExclusive(&source_->lock);
    if (source_->cancelled) {
        ReleaseSRWLockExclusive(&source_->lock);
        source_.reset();
        throw_operation_cancelled();
    }
    source_->tokens.push_back(*this);
    ReleaseSRWLockExclusive(&source_->lock);
}

cancellation_token::~cancellation_token()
{
    if (source_) {
        AcquireSRWLockExclusive(&source_->lock);
        if (is_linked())
            source_->tokens.erase(source_->tokens.iterator_to(*this));
        ReleaseSRWLockExclusive(&source_->lock);
    }
    AcquireSRWLockExclusive(&lock_);
    while (!subscriptions_.empty()) {
        cancellation_subscription_base& subscription = subscriptions_.front();
        subscriptions_.pop_front();
        subscription.detached_ = true;
    }
    ReleaseSRWLockExclusive(&lock_);
}

void cancellation_subscription_base::attach()
{
    cancellation_token& token = *token_;
    AcquireSRWLockExclusive(&token.lock_);
    if (token.cancelled_.load(std::memory_order_relaxed)) {
        ReleaseSRWLockExclusive(&token.lock_);
        throw_operation_cancelled();
    }
    token.subscriptions_.push_back(*this);
    ReleaseSRWLockExclusive(&token.lock_);
}

void cancellation_subscription_base::detach_and_wait() noexcept
{
    if (!detached_) {
        cancellation_token& token = *token_;
        AcquireSRWLockExclusive(&token.lock_);
        if (is_linked())
            token.subscriptions_.erase(token.subscriptions_.iterator_to(*this));
        detached_ = true;
        ReleaseSRWLockExclusive(&token.lock_);
    }
    AcquireSRWLockExclusive(&done_lock_);
    if (!done_ && runner_thread_ == GetCurrentThreadId()) {
        // Destroyed by a callback on the thread that runs this one: waiting would never end.
        if (destroyed_) {
            *destroyed_ = true; // this very callback is running: its runner lets go of us
        } else if (refused_link_) {
            // Refused by the pool and not started: it would run after this object is gone.
            *refused_link_ = refused_next_;
            if (refused_next_)
                refused_next_->refused_link_ = refused_link_;
            refused_next_ = nullptr;
            refused_link_ = nullptr;
            done_ = true;
        }
        ReleaseSRWLockExclusive(&done_lock_);
        return;
    }
    while (!done_)
        SleepConditionVariableSRW(&done_cv_, &done_lock_, INFINITE, 0);
    ReleaseSRWLockExclusive(&done_lock_);
}

cancellation_subscription_base::~cancellation_subscription_base() = default;

void cancellation_subscription_base::invoke(thread_pool_submitter submit, cancellation_subscription_base*& refused) noexcept
{
    // From here until the callback has returned, a destructor that runs waits.
    AcquireSRWLockExclusive(&done_lock_);
    done_ = false;
    ReleaseSRWLockExclusive(&done_lock_);
    if (!submit(&pool_callback, this, nullptr)) {
        AcquireSRWLockExclusive(&done_lock_);
        runner_thread_ = GetCurrentThreadId();
        ReleaseSRWLockExclusive(&done_lock_);
        refused_next_ = refused;
        if (refused)
            refused->refused_link_ = &refused_next_;
        refused_link_ = &refused;
        refused = this;
    }
}

void CALLBACK cancellation_subscription_base::pool_callback(PTP_CALLBACK_INSTANCE, PVOID context)
{
    static_cast<cancellation_subscription_base*>(context)->run_and_mark_done();
}

void cancellation_subscription_base::run_and_mark_done() noexcept
{
    bool destroyed = false;
    AcquireSRWLockExclusive(&done_lock_);
    runner_thread_ = GetCurrentThreadId();
    destroyed_ = &destroyed;
    ReleaseSRWLockExclusive(&done_lock_);
    run();
    if (destroyed)
        return; // the callback destroyed its own subscription
    AcquireSRWLockExclusive(&done_lock_);
    runner_thread_ = 0;
    destroyed_ = nullptr;
    done_ = true;
    WakeAllConditionVariable(&done_cv_);
    ReleaseSRWLockExclusive(&done_lock_);
}

} // namespace tavik::details
