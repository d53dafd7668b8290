#pragma once
// Cooperative cancellation: sources, tokens and subscriptions.
//
// - cancellation_source: shared handle of a source body; copies share the body. cancel() is
//   idempotent and callable from any thread.
// - cancellation_token: binds a coroutine to a source. Construct it inside the coroutine with
//   `cancellation_token token(source, co_await this_promise);`: cancelling the source then makes
//   the coroutine's next co_await raise operation_cancelled. A token made from a source that is
//   already cancelled raises operation_cancelled. The token must be destroyed before the coroutine
//   ends (keep it a local of the coroutine).
// - cancellation_subscription<F>: a callback registered on a token; cancelling runs it once, on a
//   thread-pool thread, never under the source's or the token's locks. Registering on a cancelled
//   token raises operation_cancelled. Destroying a subscription unlinks it and waits until a
//   running callback has returned; afterwards the callback neither runs nor will run. A callback
//   may destroy its own subscription (the destructor then does not wait, and the callback must not
//   touch its captures afterwards). A subscription must be destroyed before its token.
//
// Lock order: a source body's lock before its tokens' locks; a parent body's lock before its
// children's. Callbacks run with no lock of this file held.

#include <tavik/error.h>
#include <tavik/future.h>

#include <windows.h>

#include <boost/intrusive/list.hpp>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace tavik::details {

class cancellation_source_body;
class cancellation_token;
class cancellation_subscription_base;

using cancellation_hook = boost::intrusive::list_base_hook<boost::intrusive::link_mode<boost::intrusive::safe_link>>;

class cancellation_source {
public:
    // A new, live source.
    cancellation_source();
    explicit cancellation_source(std::shared_ptr<cancellation_source_body> body) noexcept : body_(std::move(body)) {}

    // Sets the flag, marks every bound coroutine, runs every subscription's callback on the thread
    // pool and cancels the linked children. A callback the pool refuses runs on this thread once
    // every lock is released.
    void cancel(thread_pool_submitter submit = &TrySubmitThreadpoolCallback) const noexcept;
    bool is_cancelled() const noexcept;

    const std::shared_ptr<cancellation_source_body>& body() const noexcept { return body_; }

private:
    std::shared_ptr<cancellation_source_body> body_;
};

cancellation_source make_cancellation_source_body();
// A new source that the parent's cancellation cancels; a child linked to an already cancelled
// parent starts cancelled.
cancellation_source make_linked_cancellation_source(const cancellation_source& parent);

class cancellation_subscription_base : public cancellation_hook {
public:
    cancellation_subscription_base(const cancellation_subscription_base&) = delete;
    cancellation_subscription_base& operator=(const cancellation_subscription_base&) = delete;

    // Starts the callback: called by cancel under the token's lock.
    virtual void invoke(thread_pool_submitter submit, cancellation_subscription_base*& refused) noexcept;

protected:
    explicit cancellation_subscription_base(cancellation_token& token) noexcept : token_(&token) {}
    ~cancellation_subscription_base();

    // Links into the token's list; raises operation_cancelled when the token is cancelled. Called
    // by the derived constructor once the callback exists.
    void attach();
    // Unlinks and waits for a running callback. Called by the derived destructor before the
    // callback is destroyed.
    void detach_and_wait() noexcept;

    virtual void run() noexcept = 0;

private:
    friend class cancellation_token;
    friend class cancellation_source;
    friend class cancellation_source_body;
    static void CALLBACK pool_callback(PTP_CALLBACK_INSTANCE, PVOID context);
    void run_and_mark_done() noexcept;

    cancellation_token* token_;
    // Chain of callbacks the pool refused, run by the cancelling thread once its locks are
    // released; only that thread touches these two. refused_link_ points at whatever points at
    // this subscription (the chain's head or the previous one's refused_next_), so a callback of
    // the chain can unlink a later one that it destroys.
    cancellation_subscription_base* refused_next_ = nullptr;
    cancellation_subscription_base** refused_link_ = nullptr;
    SRWLOCK done_lock_ = SRWLOCK_INIT; // guards the three below
    CONDITION_VARIABLE done_cv_ = CONDITION_VARIABLE_INIT;
    bool done_ = true; // false while a callback is queued or running
    // The thread that runs (or, refused by the pool, will run) the callback, while done_ is false;
    // a destructor on that thread is inside the callback and must not wait for it.
    DWORD runner_thread_ = 0;
    // While the callback runs: a flag on the runner's stack that the destructor sets, so that the
    // runner touches nothing of a subscription its callback destroyed.
    bool* destroyed_ = nullptr;
    bool detached_ = false;
};

class cancellation_token : public cancellation_hook {
public:
    explicit cancellation_token(const cancellation_source& source, promise_base* coroutine = nullptr);
    ~cancellation_token();
    cancellation_token(const cancellation_token&) = delete;
    cancellation_token& operator=(const cancellation_token&) = delete;

    bool is_cancelled() const noexcept { return cancelled_.load(std::memory_order_acquire) != 0; }
    void throw_if_cancelled() const
    {
        if (is_cancelled())
            throw_operation_cancelled();
    }

private:
    friend class cancellation_source_body;
    friend class cancellation_subscription_base;
    using subscription_list =
        boost::intrusive::list<cancellation_subscription_base, boost::intrusive::constant_time_size<false>>;

    std::shared_ptr<cancellation_source_body> source_;
    promise_base* coroutine_;
    SRWLOCK lock_ = SRWLOCK_INIT; // guards subscriptions_ and the change of cancelled_
    subscription_list subscriptions_;
    std::atomic<std::uint8_t> cancelled_{0};
};

template <class F = std::function<void()>>
class cancellation_subscription final : public cancellation_subscription_base {
public:
    cancellation_subscription(cancellation_token& token, F callback)
        : cancellation_subscription_base(token), callback_(std::move(callback))
    {
        attach();
    }
    ~cancellation_subscription() { detach_and_wait(); }

private:
    void run() noexcept override
    {
        try {
            callback_(); // an empty std::function raises bad_function_call, swallowed here
        } catch (...) {
        }
    }

    F callback_;
};

template <class F>
cancellation_subscription(cancellation_token&, F) -> cancellation_subscription<F>;

} // namespace tavik::details
