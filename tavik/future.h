#pragma once
// future<T>: the result of every coroutine of the system, and promise_type_<T>, the promise that
// lives in each coroutine frame and that can also be made standalone with std::make_shared.
//
// Contract of a coroutine returning future<T>:
// - It starts at once on the caller's thread and runs to its first suspension.
// - One party awaits its future (co_await), or a plain thread waits for it (wait_blocking, get,
//   wait_blocking_result). The awaiter resumes on the thread that completed the coroutine, inside
//   the coroutine's final step (symmetric transfer); code that must not run there moves itself with
//   `co_await resume_on_thread_pool()`.
// - Cancellation: before every co_await the coroutine tests its promise's cancelled flag, which a
//   cancellation_token bound to it sets (cancellation.h), and raises operation_cancelled instead of
//   awaiting. A coroutine without a token never sees the flag set. A future is the exception: its
//   coroutine has already started when the test is made (`co_await f()` calls f first), and its
//   frame may use what the awaiting coroutine owns (a transport, a buffer, a local). A cancelled
//   coroutine therefore still waits for a future it awaits to complete, discards the result, and
//   then raises operation_cancelled; an operation bound to the same source ends promptly.
// - An exception that leaves the body is stored and rethrown to the awaiter; a future dropped
//   unawaited lets the coroutine run to its end and discards its result or exception.
// - The result is published only when the coroutine reaches its final suspension, after its locals
//   are destroyed: whoever sees the result may tear down what the coroutine's locals referred to.
//
// Standalone promise (std::make_shared<promise_type_<T>>()): a one-shot signal completed from
// outside any coroutine with set_value / set_exception (a second completion is ignored); any number
// of coroutines may co_await it (they are resumed on thread-pool threads and see a reference to the
// stored value, or a rethrown copy of the exception).

#include <tavik/byte_lock.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <windows.h>

#include <atomic>
#include <concepts>
#include <coroutine>
#include <cstdint>
#include <exception>
#include <memory>
#include <type_traits>
#include <utility>
#include <variant>

namespace tavik::details {

template <class T = void>
class future;
template <class T>
struct promise_type_;

// The way a thread-pool submission is made: TrySubmitThreadpoolCallback in the product; tests pass
// a failing one to exercise the fallback paths.
using thread_pool_submitter = BOOL(WINAPI*)(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON);
void resume_on_thread_pool_or_inline(std::coroutine_handle<> handle, thread_pool_submitter submit) noexcept;

// One coroutine waiting for a promise; lives in the waiting coroutine's frame.
struct waiter_node {
    waiter_node* next = nullptr;
    std::coroutine_handle<> handle;
};

// `co_await this_promise` gives a coroutine its own promise_base* (to bind a cancellation token to
// itself). It never suspends and makes no cancellation test.
struct this_promise_t {
    explicit constexpr this_promise_t() = default;
};
inline constexpr this_promise_t this_promise{};

// Passes an awaiter to the compiler by reference. GCC 12 copies (or moves) an awaiter that
// await_transform returns as a reference instead of using it in place: a non-movable awaiter then
// does not compile, and an awaiter named by an lvalue is silently used through a copy. This small
// prvalue is stored in the frame instead and refers to the awaiter itself, which lives at least
// until the end of the full expression that awaits it (a temporary awaiter is kept in the frame
// across the suspension).
template <class A>
struct awaiter_ref {
    A& awaiter;
    bool await_ready() { return awaiter.await_ready(); }
    template <class H>
    decltype(auto) await_suspend(H handle)
    {
        return awaiter.await_suspend(handle);
    }
    decltype(auto) await_resume() { return awaiter.await_resume(); }
};

namespace await_detail {

// Whether the compiler would apply an operator co_await to an operand of this value category.
// GCC 12 applies it to the reference await_transform returns, without copying the operand.
template <class A>
concept has_member_co_await = requires(A&& a) { static_cast<A&&>(a).operator co_await(); };
template <class A>
concept has_free_co_await = requires(A&& a) { operator co_await(static_cast<A&&>(a)); };
template <class A>
concept has_co_await = has_member_co_await<A> || has_free_co_await<A>;

// An awaiter in its own right: awaited as it is (its await_ready is looked up on a non-const
// object, so that a const awaiter with non-const members fails to compile instead of being
// copied).
template <class A>
concept awaiter_like = requires(std::remove_cvref_t<A>& a) { a.await_ready(); };

} // namespace await_detail

template <class F>
struct future_traits {
    static constexpr bool is_future = false;
};
template <class T>
struct future_traits<future<T>> {
    static constexpr bool is_future = true;
    using value_type = T;
};
template <class T>
class checked_future_awaiter;

class promise_base {
public:
    // Set to 1 by a cancellation token bound to this coroutine when its source is cancelled. Read
    // and written from any thread.
    std::atomic<std::uint8_t> cancelled{0};

    bool is_cancelled() const noexcept { return cancelled.load(std::memory_order_acquire) != 0; }

    // The cancellation test before every co_await. An awaiter, whatever its value category, is
    // awaited in place through awaiter_ref; an awaitable with an operator co_await is passed on as
    // it is, for the compiler to apply that operator to it.
    template <class A>
    decltype(auto) await_transform(A&& awaitable)
    {
        if constexpr (future_traits<std::remove_cvref_t<A>>::is_future) {
            // Never abandoned once started: see the contract at the top of this file.
            return checked_future_awaiter<typename future_traits<std::remove_cvref_t<A>>::value_type>(
                awaitable.promise(), is_cancelled());
        } else {
            if (is_cancelled())
                throw_operation_cancelled();
            return await_transform_checked(std::forward<A>(awaitable));
        }
    }

    auto await_transform(const this_promise_t&) noexcept
    {
        struct awaiter {
            promise_base* promise;
            bool await_ready() const noexcept { return true; }
            void await_suspend(std::coroutine_handle<>) const noexcept {}
            promise_base* await_resume() const noexcept { return promise; }
        };
        return awaiter{this};
    }

private:
    template <class A>
    decltype(auto) await_transform_checked(A&& awaitable)
    {
        if constexpr (!await_detail::has_co_await<A> && await_detail::awaiter_like<A>)
            return awaiter_ref<std::remove_reference_t<A>>{awaitable};
        else
            return std::forward<A>(awaitable);
    }
};

// Publication state shared by every promise, whatever its value type.
// Lock rule: `lock` guards waiters, finished and has_future, and the change of `ready` to true;
// the result is written before it is published and is only read after `ready` was seen true.
class promise_core : public promise_base {
public:
    byte_lock lock;
    std::atomic<bool> ready{false};
    waiter_node* waiters = nullptr;
    std::coroutine_handle<> finished; // the coroutine's own handle once it is suspended at its end
    bool has_future = true;           // false once the future is released

    bool is_ready() const noexcept { return ready.load(std::memory_order_acquire); }

    // Registers the node unless the result is already published (then false: do not suspend).
    bool add_waiter(waiter_node& node) noexcept
    {
        byte_lock_guard guard(lock);
        if (ready.load(std::memory_order_relaxed))
            return false;
        node.next = waiters;
        waiters = &node;
        return true;
    }

    // The first waiter of the list is handed back for symmetric transfer; the others are resumed
    // on the thread pool.
    static std::coroutine_handle<> first_and_queue_rest(waiter_node* list) noexcept;
    static void resume_all(waiter_node* list, thread_pool_submitter submit) noexcept;
};

// Awaits the publication of a promise's result without taking it: the waiter reads or ignores the
// result itself afterwards (the blocking wait, the shared future's driver).
struct publication_awaiter {
    promise_core* promise;
    waiter_node node;
    bool await_ready() const noexcept { return promise->is_ready(); }
    bool await_suspend(std::coroutine_handle<> h) noexcept
    {
        node.handle = h;
        return promise->add_waiter(node);
    }
    void await_resume() const noexcept {}
};

template <class T>
struct result_value {
    using type = T;
};
template <>
struct result_value<void> {
    struct type {};
};

template <class T>
class promise_result : public promise_core {
public:
    using value_type = typename result_value<T>::type;

    // Index 0 empty, 1 exception, 2 value.
    std::variant<std::monostate, std::exception_ptr, value_type> result;

    // After publication: rethrows a stored exception, else moves the value out.
    T take_result()
    {
        if (result.index() == 1)
            std::rethrow_exception(std::get<1>(result));
        if constexpr (!std::is_void_v<T>)
            return std::move(std::get<2>(result));
    }

    // After publication: rethrows a stored exception, else a reference to the value.
    std::add_lvalue_reference_t<T> result_ref()
    {
        if (result.index() == 1)
            std::rethrow_exception(std::get<1>(result));
        if constexpr (!std::is_void_v<T>)
            return std::get<2>(result);
    }

    bool has_exception() const noexcept { return result.index() == 1; }
    std::exception_ptr exception() const noexcept
    {
        return result.index() == 1 ? std::get<1>(result) : std::exception_ptr{};
    }

    // Standalone completion; false when the promise was already completed.
    template <class... A>
    bool set_value_with(thread_pool_submitter submit, A&&... args)
    {
        byte_lock_guard guard(lock);
        if (ready.load(std::memory_order_relaxed))
            return false;
        result.template emplace<2>(std::forward<A>(args)...);
        ready.store(true, std::memory_order_release);
        waiter_node* list = std::exchange(waiters, nullptr);
        guard.release();
        resume_all(list, submit);
        return true;
    }

    template <class... A>
    bool set_value(A&&... args)
    {
        return set_value_with(&TrySubmitThreadpoolCallback, std::forward<A>(args)...);
    }

    bool set_exception(std::exception_ptr error, thread_pool_submitter submit = &TrySubmitThreadpoolCallback) noexcept
    {
        byte_lock_guard guard(lock);
        if (ready.load(std::memory_order_relaxed))
            return false;
        result.template emplace<1>(std::move(error));
        ready.store(true, std::memory_order_release);
        waiter_node* list = std::exchange(waiters, nullptr);
        guard.release();
        resume_all(list, submit);
        return true;
    }
};

// Awaiting a standalone promise: resumes with a reference to the stored value (or a rethrown copy
// of the stored exception); the awaiter keeps the promise alive while it waits.
template <class T>
class promise_awaiter {
public:
    explicit promise_awaiter(promise_result<T>& promise) noexcept : promise_(&promise) {}
    bool await_ready() const noexcept { return promise_->is_ready(); }
    bool await_suspend(std::coroutine_handle<> handle) noexcept
    {
        node_.handle = handle;
        return promise_->add_waiter(node_);
    }
    std::add_lvalue_reference_t<T> await_resume() { return promise_->result_ref(); }

private:
    promise_result<T>* promise_;
    waiter_node node_;
};

template <class T>
struct promise_return : promise_result<T> {
    template <class U = T>
        requires std::constructible_from<T, U&&>
    void return_value(U&& value)
    {
        this->result.template emplace<2>(std::forward<U>(value));
    }
};

template <>
struct promise_return<void> : promise_result<void> {
    void return_void() noexcept { this->result.template emplace<2>(); }
};

template <class T>
struct promise_type_ : promise_return<T> {
    struct final_awaiter {
        bool await_ready() const noexcept { return false; }
        std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type_> self) noexcept
        {
            promise_type_& p = self.promise();
            p.lock.lock();
            p.ready.store(true, std::memory_order_release);
            waiter_node* list = std::exchange(p.waiters, nullptr);
            if (p.has_future) {
                p.finished = self;
                p.lock.unlock();
            } else {
                p.lock.unlock();
                self.destroy();
            }
            return promise_core::first_and_queue_rest(list);
        }
        void await_resume() const noexcept {}
    };

    future<T> get_return_object() noexcept;
    std::suspend_never initial_suspend() const noexcept { return {}; }
    final_awaiter final_suspend() const noexcept { return {}; }
    void unhandled_exception() noexcept { this->result.template emplace<1>(std::current_exception()); }

    promise_awaiter<T> operator co_await() & noexcept { return promise_awaiter<T>(*this); }
};

void wait_blocking_core(promise_core& promise) noexcept;

// Move-only owner of a coroutine's result. Releasing it (destructor, reset) destroys the frame of a
// finished coroutine, or lets a running one free itself when it ends.
template <class T>
class [[nodiscard]] future {
public:
    using promise_type = promise_type_<T>;
    using handle_type = std::coroutine_handle<promise_type>;

    future() noexcept = default;
    explicit future(handle_type handle) noexcept : handle_(handle) {}
    future(future&& o) noexcept : handle_(std::exchange(o.handle_, nullptr)) {}
    future& operator=(future&& o) noexcept
    {
        if (this != &o) {
            reset();
            handle_ = std::exchange(o.handle_, nullptr);
        }
        return *this;
    }
    future(const future&) = delete;
    future& operator=(const future&) = delete;
    ~future() { reset(); }

    explicit operator bool() const noexcept { return static_cast<bool>(handle_); }
    bool valid() const noexcept { return static_cast<bool>(handle_); }

    void reset() noexcept
    {
        if (!handle_)
            return;
        handle_type handle = std::exchange(handle_, nullptr);
        promise_type& p = handle.promise();
        p.lock.lock();
        p.has_future = false;
        const bool finished = static_cast<bool>(p.finished);
        p.lock.unlock();
        if (finished)
            handle.destroy();
    }

    // Never blocks, never suspends.
    bool is_ready() const noexcept { return handle_ && handle_.promise().is_ready(); }

    // Plain threads only: waits for the result, then returns a reference to the value or rethrows
    // the stored exception.
    std::add_lvalue_reference_t<T> get()
    {
        wait_blocking_core(handle_.promise());
        return handle_.promise().result_ref();
    }

    promise_type& promise() const noexcept { return handle_.promise(); }

    struct awaiter {
        promise_type* promise;
        waiter_node node;
        bool await_ready() const noexcept { return promise->is_ready(); }
        bool await_suspend(std::coroutine_handle<> handle) noexcept
        {
            node.handle = handle;
            return promise->add_waiter(node);
        }
        T await_resume() { return promise->take_result(); }
    };
    // The awaiter moves the value out (or rethrows); the future itself stays valid until released.
    awaiter operator co_await() & noexcept { return awaiter{&handle_.promise(), {}}; }
    awaiter operator co_await() && noexcept { return awaiter{&handle_.promise(), {}}; }

private:
    handle_type handle_;
};

// Awaits a future from a coroutine with the cancellation test: `cancelled` is the awaiting
// coroutine's flag as it was tested. A cancelled awaiter still waits for the future's coroutine to
// end, then raises operation_cancelled and leaves the result (or the exception) to the future.
template <class T>
class checked_future_awaiter {
public:
    checked_future_awaiter(promise_type_<T>& promise, bool cancelled) noexcept : promise_(&promise), cancelled_(cancelled)
    {
    }
    bool await_ready() const noexcept { return promise_->is_ready(); }
    bool await_suspend(std::coroutine_handle<> handle) noexcept
    {
        node_.handle = handle;
        return promise_->add_waiter(node_);
    }
    T await_resume()
    {
        if (cancelled_)
            throw_operation_cancelled();
        return promise_->take_result();
    }

private:
    promise_type_<T>* promise_;
    bool cancelled_;
    waiter_node node_;
};

template <class T>
future<T> promise_type_<T>::get_return_object() noexcept
{
    return future<T>(std::coroutine_handle<promise_type_>::from_promise(*this));
}

// A plain thread blocks until the future's result is there, without taking it and without
// raising: the form for shutdowns and the program's main wait. Never inside a coroutine.
template <class T>
void wait_blocking(const future<T>& f) noexcept
{
    if (f)
        wait_blocking_core(f.promise());
}

// A plain thread blocks until the result is there, then returns it (moved out) or rethrows the
// stored exception.
template <class T>
T wait_blocking_result(future<T> f)
{
    wait_blocking_core(f.promise());
    return f.promise().take_result();
}

// Completes a standalone promise of void from outside a coroutine and resumes its awaiters on
// thread-pool threads (at once on the calling thread when the pool refuses the work). A promise
// already completed is left as it is.
void complete_async(const std::shared_ptr<promise_type_<void>>& promise,
                    thread_pool_submitter submit = &TrySubmitThreadpoolCallback) noexcept;

// A coroutine that returns nothing, is awaited by nobody, frees its frame when it ends and
// swallows whatever escapes its body.
struct fire_and_forget {
    struct promise_type {
        fire_and_forget get_return_object() const noexcept { return {}; }
        std::suspend_never initial_suspend() const noexcept { return {}; }
        std::suspend_never final_suspend() const noexcept { return {}; }
        void return_void() const noexcept {}
        void unhandled_exception() const noexcept {}
    };
};

} // namespace tavik::details
