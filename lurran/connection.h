#pragma once
// connection<Transport, server_of<I>, client_of<J>>: one transport joined with a served and a
// called interface. It reads messages in one loop and writes them in another, matches each reply
// to the call waiting for it, runs every incoming request in a coroutine of its own, and tells its
// owner through the close handler the HRESULT with which it ended.
//
// Life: constructed -> filled (the owner assigns every handler and the close handler) -> started
// -> ending (a loop failed or the owner shut it down) -> shut down -> destroyed.
//
// Transport: anything with read() -> future<message_t>, write(message_t) -> future<void>,
// close() and link_cancellation(source); read and write in flight must end when the linked source
// is cancelled.
//
// Threads: the loops and the request coroutines run on thread-pool threads; a request's handler is
// invoked on the reader's thread, and a one-way handler runs there to its end before the next
// message is read. Calls may be made from any thread at any time; each call's coroutine resumes on
// a pool thread. shutdown() blocks its caller until both loops have ended: never call it from a
// handler or from the close handler's own thread while it runs a loop.
//
// Locks, in this order: the state lock (held by the whole shutdown), then the pending lock. The
// write queue's lock is never held together with another lock of the connection, and the loops,
// calls and request coroutines never take the state lock, so the join inside shutdown cannot wait
// for a thread that waits for it.

#include <lurran/handler_slot.h>
#include <lurran/interface.h>
#include <lurran/message.h>
#include <lurran/write_queue.h>

#include <tavik/cancellation.h>
#include <tavik/error.h>
#include <tavik/future.h>
#include <tavik/lock_guard.h>
#include <tavik/thread_pool.h>
#include <tavik/when_both_done.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <map>
#include <memory>
#include <new>
#include <optional>
#include <vector>

namespace lurran::details {

using call_state = tavik::details::promise_type_<std::vector<std::byte>>;

inline constexpr HRESULT e_outofmemory = static_cast<HRESULT>(0x8007000E);

// The HRESULT an error reply carries for the exception being handled: the code of an HRESULT
// error, E_FAIL for anything else.
inline HRESULT reply_hresult_of_current_exception() noexcept
{
    try {
        throw;
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code();
    } catch (const tavik::details::hresult_error& e) {
        return e.code();
    } catch (...) {
        return e_fail;
    }
}

// The HRESULT a loop ends with: as above, and E_OUTOFMEMORY for a failed allocation.
inline HRESULT loop_hresult_of_current_exception() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return e_outofmemory;
    } catch (...) {
        return reply_hresult_of_current_exception();
    }
}

// Completion of a call's result state, value or error form: the waiting call resumes on a pool
// thread, never on the reader's thread or inside the pending lock.
inline void complete_pending_call(const std::shared_ptr<call_state>& state, std::vector<std::byte> body)
{
    state->set_value(std::move(body));
}
inline void complete_pending_call(const std::shared_ptr<call_state>& state, std::exception_ptr error) noexcept
{
    state->set_exception(std::move(error));
}

// What a connection shares with the coroutines that may outlive its loops: the calls waiting for
// an answer and the requests still running, which answer into a closed queue after the shutdown.
class connection_core : public std::enable_shared_from_this<connection_core> {
public:
    connection_core() = default;
    connection_core(const connection_core&) = delete;
    connection_core& operator=(const connection_core&) = delete;

    // Sends a request and completes with the reply body. Fails with the HRESULT of an error reply
    // (E_FAIL when its body is not 4 bytes), with operation_cancelled when the connection ends
    // first or has already ended, and with E_INVALIDARG for a body above max_body_size. A call
    // made before the start waits in the queue until the writer runs. No time-out.
    tavik::details::future<std::vector<std::byte>> call(std::uint32_t method_id, std::vector<std::byte> body)
    {
        using namespace tavik::details;
        if (body.size() > max_body_size)
            throw_hresult(e_invalidarg);
        // The call resumes after its connection may have been destroyed (the destructor fails
        // it): it keeps the core alive until it has cleaned up after itself.
        std::shared_ptr<connection_core> keep = shared_from_this();
        cancellation_token token(cancellation, co_await this_promise);
        auto state = std::make_shared<call_state>();
        std::uint32_t id;
        {
            tavik::details::exclusive_lock_guard guard(pending_lock);
            // Checked under the pending lock: the shutdown closes the queue before it fails the
            // pending calls under this lock, so an entry made here is either failed by it or
            // never made.
            if (queue.is_closed())
                throw_operation_cancelled();
            // An id still waiting for its answer (after the counter has wrapped) is skipped, so
            // two calls never share one.
            do
                id = counter.fetch_add(1, std::memory_order_relaxed) & call_id_mask;
            while (pending.contains(id));
            pending.emplace(id, state);
        }
        bool queued = false;
        try {
            queued = queue.push(message_t(make_call_word(id, message_kind::request), method_id, std::move(body)));
        } catch (...) {
            forget(id, state);
            throw;
        }
        if (!queued) {
            forget(id, state);
            throw_operation_cancelled();
        }
        try {
            std::vector<std::byte>& reply = co_await *state;
            co_return std::move(reply);
        } catch (...) {
            // Ended early (its cancelled flag) or failed: an entry still in the map is ours.
            forget(id, state);
            throw;
        }
    }

    // Sends a one-way message and returns at once; nothing is answered. The message is lost
    // without notice when the connection is ending. A body above max_body_size raises
    // E_INVALIDARG.
    void send_one_way(std::uint32_t method_id, std::vector<std::byte> body)
    {
        if (body.size() > max_body_size)
            tavik::details::throw_hresult(e_invalidarg);
        std::uint32_t id = counter.fetch_add(1, std::memory_order_relaxed) & call_id_mask;
        queue.push(message_t(make_call_word(id, message_kind::one_way), method_id, std::move(body)));
    }

    // The reader's handling of a reply or an error reply; an answer nobody waits for is dropped.
    void answer(message_t message)
    {
        std::shared_ptr<call_state> state;
        {
            tavik::details::exclusive_lock_guard guard(pending_lock);
            auto it = pending.find(message.call_id());
            if (it == pending.end())
                return;
            state = std::move(it->second);
            pending.erase(it);
        }
        if (message.kind() == message_kind::reply) {
            complete_pending_call(state, std::move(message.body));
        } else {
            HRESULT hr = e_fail;
            if (message.body.size() == 4)
                hr = HRESULT(load_u32le(message.body.data()));
            // Built directly with the code: even 0x800704C7 arrives as a plain traceable error.
            complete_pending_call(state, std::make_exception_ptr(tavik::details::traceable_error(hr)));
        }
    }

    // Fails every pending call, in ascending call-id order, with operation_cancelled.
    void fail_pending_calls() noexcept
    {
        std::map<std::uint32_t, std::shared_ptr<call_state>> failed;
        {
            tavik::details::exclusive_lock_guard guard(pending_lock);
            failed.swap(pending);
        }
        for (auto& [id, state] : failed)
            complete_pending_call(state, std::make_exception_ptr(tavik::details::make_operation_cancelled()));
    }

    std::size_t pending_count() const noexcept
    {
        AcquireSRWLockShared(&pending_lock);
        std::size_t n = pending.size();
        ReleaseSRWLockShared(&pending_lock);
        return n;
    }

    // Request coroutines still running. The reader counts each one in before it starts it; the
    // coroutine counts itself out as the last thing it does with the connection.
    void request_started() noexcept
    {
        AcquireSRWLockExclusive(&requests_lock);
        ++requests_running;
        ReleaseSRWLockExclusive(&requests_lock);
    }
    void request_ended() noexcept
    {
        AcquireSRWLockExclusive(&requests_lock);
        if (--requests_running == 0)
            WakeAllConditionVariable(&requests_done);
        ReleaseSRWLockExclusive(&requests_lock);
    }
    // Blocks until every request coroutine has ended. Only once the reader has been joined, so
    // that no request is counted in afterwards.
    void wait_for_requests() noexcept
    {
        AcquireSRWLockExclusive(&requests_lock);
        while (requests_running != 0)
            SleepConditionVariableSRW(&requests_done, &requests_lock, INFINITE, 0);
        ReleaseSRWLockExclusive(&requests_lock);
    }

    // Never replaced: once cancelled, every later call fails at once.
    tavik::details::cancellation_source cancellation = tavik::details::make_cancellation_source_body();
    write_queue queue;
    mutable SRWLOCK pending_lock = SRWLOCK_INIT; // guards pending
    // Each entry holds its own reference to the call's state, so an entry left behind by a call
    // that ended early never points at freed memory.
    std::map<std::uint32_t, std::shared_ptr<call_state>> pending;
    std::atomic<std::uint32_t> counter{0};
    SRWLOCK requests_lock = SRWLOCK_INIT; // guards requests_running; never held with another lock
    CONDITION_VARIABLE requests_done = CONDITION_VARIABLE_INIT;
    std::size_t requests_running = 0;

private:
    void forget(std::uint32_t id, const std::shared_ptr<call_state>& state) noexcept
    {
        tavik::details::exclusive_lock_guard guard(pending_lock);
        auto it = pending.find(id);
        if (it != pending.end() && it->second == state)
            pending.erase(it);
    }
};

// Resumes the awaiting coroutine on a pool thread, or goes on at once on its own thread when the
// pool refuses the work.
struct to_thread_pool_or_stay {
    bool await_ready() const noexcept { return false; }
    bool await_suspend(std::coroutine_handle<> h) const noexcept
    {
        return TrySubmitThreadpoolCallback(&callback, h.address(), nullptr) != FALSE;
    }
    void await_resume() const noexcept {}
    static void CALLBACK callback(PTP_CALLBACK_INSTANCE, PVOID context)
    {
        std::coroutine_handle<>::from_address(context).resume();
    }
};

// Owns the close handler from the moment a loop takes it out of the connection: runs it once with
// the HRESULT, on a pool thread.
inline tavik::details::fire_and_forget post_close_handler(handler_slot<void(HRESULT)> handler, HRESULT hr)
{
    if (!handler)
        co_return;
    co_await to_thread_pool_or_stay{};
    handler(hr);
}

template <typename Transport, typename Served, typename Called>
class connection : public Served, public Called {
public:
    connection() : core_(std::make_shared<connection_core>()) { Called::bind_proxies(core_.get()); }

    connection(const connection&) = delete;
    connection& operator=(const connection&) = delete;

    // Shuts down; calls still waiting (also those made before a start that never came) fail with
    // operation_cancelled; messages still queued are discarded unsent. Then blocks until every
    // request whose handler is still running has ended: those handlers hold the connection (their
    // captures live in its slots, and the owner's handlers capture it and what it serves), and
    // the shutdown has cancelled the source that they are expected to end with. Never destroy a
    // connection from one of its own handlers.
    ~connection()
    {
        shutdown();
        core_->queue.close();
        core_->fail_pending_calls();
        core_->wait_for_requests();
    }

    // Called with the HRESULT with which the connection ended, once, on a pool thread. Installed
    // by the owner before the start.
    handler_slot<void(HRESULT)>& close_handler() noexcept { return close_handler_; }

    // The connection's source: cancelled when the connection ends; handlers may hand it to the
    // operations they start so that those end with the connection.
    const tavik::details::cancellation_source& cancellation() const noexcept { return core_->cancellation; }

    // Takes the transport and starts both loops. When that fails (no memory for a loop's frame)
    // the connection ends as it would by a failing loop, and no loop is left running: the close
    // handler is offered the failure, calls fail, the transport is closed, and the exception is
    // rethrown.
    void start(Transport transport)
    {
        if (transport_)
            transport_->close();
        try {
            transport_.emplace(std::move(transport));
            transport_->link_cancellation(core_->cancellation);
            reader_ = reader();
            writer_ = writer();
        } catch (...) {
            abandon_start(loop_hresult_of_current_exception());
            throw;
        }
        tavik::details::exclusive_lock_guard guard(state_lock_);
        live_ = 1;
    }

    tavik::details::future<std::vector<std::byte>> call(std::uint32_t method_id, std::vector<std::byte> body)
    {
        return core_->call(method_id, std::move(body));
    }

    void send_one_way(std::uint32_t method_id, std::vector<std::byte> body)
    {
        core_->send_one_way(method_id, std::move(body));
    }

    // Ends the connection: cancels its source (aborting the read and the write in flight and
    // failing every call in progress), waits for both loops, closes the transport and fails the
    // calls still pending with operation_cancelled. Idempotent. On a connection never started
    // there is nothing to join: it is only marked ended (calls fail, a later start ends at once).
    void shutdown()
    {
        tavik::details::exclusive_lock_guard guard(state_lock_);
        core_->cancellation.cancel();
        if (live_) {
            auto joined = tavik::details::when_both_done(std::move(reader_), std::move(writer_));
            tavik::details::wait_blocking(joined);
            if (transport_) {
                transport_->close();
                transport_.reset();
            }
        }
        core_->queue.close();
        core_->fail_pending_calls();
        live_ = 0;
    }

    bool is_live() const noexcept
    {
        AcquireSRWLockShared(&state_lock_);
        bool live = live_ != 0;
        ReleaseSRWLockShared(&state_lock_);
        return live;
    }

    // For tests: calls waiting for an answer, messages waiting to be written, answers owed.
    std::size_t pending_calls() const noexcept { return core_->pending_count(); }
    std::size_t queued_messages() const noexcept { return core_->queue.size(); }
    std::size_t answers_owed() const noexcept { return core_->queue.answers_owed(); }

private:
    tavik::details::future<void> reader()
    {
        using namespace tavik::details;
        HRESULT hr = cancelled_hresult;
        try {
            cancellation_token token(core_->cancellation, co_await this_promise);
            co_await resume_on_thread_pool();
            while (!token.is_cancelled()) {
                message_t message = co_await transport_->read();
                switch (message.kind()) {
                case message_kind::reply:
                case message_kind::error_reply:
                    core_->answer(std::move(message));
                    break;
                case message_kind::request:
                    core_->queue.owe_answer();
                    // Released at once: the request coroutine holds the core, answers on its own
                    // and counts itself out when it ends; the destructor waits for that.
                    core_->request_started();
                    try {
                        (void)handle_message(*this, core_, std::move(message));
                    } catch (...) {
                        core_->request_ended(); // its frame could not be made
                        throw;
                    }
                    // A peer that does not read its answers is not read any further either.
                    co_await core_->queue.room();
                    break;
                default:
                    // A one-way handler has already run when this returns.
                    (void)handle_message(*this, core_, std::move(message));
                    break;
                }
            }
        } catch (...) {
            // Any failure, of any type, ends the connection: a reader that stopped silently would
            // leave the owner waiting for a close that never comes.
            hr = loop_hresult_of_current_exception();
        }
        end_loop(hr);
    }

    tavik::details::future<void> writer()
    {
        using namespace tavik::details;
        HRESULT hr = cancelled_hresult;
        try {
            cancellation_token token(core_->cancellation, co_await this_promise);
            connection_core* core = core_.get();
            cancellation_subscription subscription(token, [core] { core->queue.close(); });
            while (!token.is_cancelled()) {
                message_t message = co_await core_->queue.pop();
                co_await transport_->write(std::move(message));
            }
        } catch (...) {
            hr = loop_hresult_of_current_exception();
        }
        end_loop(hr);
    }

    // Every end of a loop, failure or cancellation, ends the whole connection and offers the
    // close handler its HRESULT. The first loop to end delivers it: it claims the handler before
    // it cancels, so the other loop, which ends only because of that cancellation, cannot get
    // there first with operation_cancelled.
    void end_loop(HRESULT hr) noexcept
    {
        const bool first = !close_taken_.exchange(true, std::memory_order_acq_rel);
        core_->cancellation.cancel();
        // Nothing will write any more: later calls fail at once instead of waiting in the queue.
        core_->queue.close();
        if (first)
            notify_closed(hr);
    }

    // A connection whose start failed is not live, so neither the shutdown nor the destructor
    // would join a loop that did start (the reader runs as soon as its frame is made, before the
    // writer's is): it is ended and joined here, before the start reports the failure.
    void abandon_start(HRESULT hr) noexcept
    {
        // Claims the close handler before the cancellation can end the reader with
        // operation_cancelled, so the owner learns why the connection ended.
        end_loop(hr);
        tavik::details::wait_blocking(reader_);
        tavik::details::wait_blocking(writer_);
        tavik::details::exclusive_lock_guard guard(state_lock_);
        reader_.reset();
        writer_.reset();
        if (transport_) {
            transport_->close();
            transport_.reset();
        }
        core_->fail_pending_calls();
        live_ = 0;
    }

    // Moves the close handler out of the connection, once, and runs it on a pool thread.
    void notify_closed(HRESULT hr) noexcept { post_close_handler(std::move(close_handler_), hr); }

    // Counts a request coroutine out when its body ends, whichever way it ends.
    struct request_scope {
        connection_core* core;
        ~request_scope() { core->request_ended(); }
    };

    // One per incoming request or one-way message. It holds the core, not the connection: a
    // request still running when the connection shuts down answers into the closed queue. A
    // request has been counted in by the reader; the connection is not destroyed before it ends.
    static tavik::details::future<void> handle_message(Served& served, std::shared_ptr<connection_core> core,
                                                       message_t message)
    {
        const std::uint32_t call_id = message.call_id();
        const std::uint32_t method_id = message.method_id();
        if (message.kind() == message_kind::one_way) {
            try {
                served.deliver_one_way(method_id, message.body);
            } catch (...) {
                // A one-way message is never answered, whatever happened to it.
            }
            co_return;
        }
        request_scope counted{core.get()};
        HRESULT hr;
        try {
            std::vector<std::byte> reply = co_await served.dispatch(method_id, std::move(message.body));
            if (reply.size() > max_body_size)
                tavik::details::throw_hresult(e_invalidarg);
            core->queue.push(message_t(make_call_word(call_id, message_kind::reply), method_id, std::move(reply)));
            co_return;
        } catch (...) {
            hr = reply_hresult_of_current_exception();
        }
        std::vector<std::byte> body(4);
        store_u32le(body.data(), std::uint32_t(hr));
        core->queue.push(message_t(make_call_word(call_id, message_kind::error_reply), method_id, std::move(body)));
    }

    std::shared_ptr<connection_core> core_;
    std::optional<Transport> transport_;
    mutable SRWLOCK state_lock_ = SRWLOCK_INIT; // guards live_; held by the whole shutdown
    tavik::details::future<void> reader_;
    tavik::details::future<void> writer_;
    handler_slot<void(HRESULT)> close_handler_;
    std::atomic<bool> close_taken_{false};
    std::uint8_t live_ = 0;
};

} // namespace lurran::details
