#pragma once
// Shared pieces of the lurran tests: unique pipe names, bounded waits for futures, a raw pipe peer
// that reads and writes exact bytes, and the test interfaces.

#include <lurran/connection.h>
#include <lurran/interface.h>
#include <lurran/pipe_transport.h>

#include <tavik/cancellation.h>
#include <tavik/error.h>
#include <tavik/future.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lurran_test {

using namespace std::chrono_literals;
using bytes = std::vector<std::byte>;

// A pipe name unique to this process and call, so parallel test runs never share a pipe.
std::wstring unique_pipe_name(const wchar_t* tag);

bytes make_bytes(std::initializer_list<int> values);

// Committed private memory of this process.
std::size_t private_bytes();

// Waits until the reading end of the pipe has taken every byte written to it (nothing is left
// in its input buffer); false after the time-out.
bool wait_until_taken(HANDLE reading_end, std::chrono::milliseconds timeout = 5000ms);
bytes pattern(std::size_t size, std::uint32_t seed = 1);

// Waits up to `timeout` for the future; false when it has not completed by then (the future is
// then leaked on purpose: a coroutine may still be registered on it).
template <class T>
bool wait_for(tavik::details::future<T>& f, std::chrono::milliseconds timeout);

// The HRESULT with which the future failed; S_OK when it succeeded, and a failed test when it did
// not finish within the timeout.
template <class T>
HRESULT failure_of(tavik::details::future<T>& f, std::chrono::milliseconds timeout = 5000ms);

// A raw end of a pipe that reads and writes exact bytes with time-outs, for the tests that must
// send what a well-behaved peer never would.
class raw_peer {
public:
    raw_peer() = default;
    explicit raw_peer(HANDLE h);
    raw_peer(raw_peer&& o) noexcept;
    raw_peer& operator=(raw_peer&& o) noexcept;
    ~raw_peer();

    static raw_peer connect(const std::wstring& name);

    // Writes all bytes; false on failure.
    bool write(const void* data, std::size_t size);
    bool write(const bytes& b) { return write(b.data(), b.size()); }
    bool write_frame(std::uint32_t call_word, std::uint32_t method_id, const bytes& body);

    // Reads exactly `size` bytes within the time-out; nullopt on failure, time-out or end.
    std::optional<bytes> read(std::size_t size, std::chrono::milliseconds timeout = 5000ms);

    struct frame {
        std::uint32_t call_word;
        std::uint32_t method_id;
        bytes body;
    };
    std::optional<frame> read_frame(std::chrono::milliseconds timeout = 5000ms);
    // True when nothing arrives within the time-out (and the pipe is still open).
    bool silent_for(std::chrono::milliseconds timeout);

    void close();
    HANDLE handle() const noexcept { return h_; }

private:
    HANDLE h_ = INVALID_HANDLE_VALUE;
};

lurran::transports::pipe::create_server_params<> default_params(std::uint32_t buffer = 65536);

// Accepts one client on a fresh pipe and returns both ends: the library's server transport and
// a raw client.
struct accepted_pair {
    lurran::details::pipe::pipe_transport server;
    raw_peer client;
};
accepted_pair accept_raw_client(const std::wstring& name, std::uint32_t buffer = 65536);

// Both ends as library transports.
struct transport_pair {
    lurran::details::pipe::pipe_transport server;
    lurran::details::pipe::pipe_transport client;
};
transport_pair connected_transports(const std::wstring& name, std::uint32_t buffer = 65536);

// The interface the tests serve.
struct test_record {
    std::uint64_t a;
    std::uint32_t b;
    std::uint32_t c;
};

struct test_service {
    using ping = lurran::method<0x7E276E3D, std::uint32_t(std::uint32_t)>;
    using fail_with = lurran::method<0x11111111, std::uint32_t(std::int32_t)>;
    using slow = lurran::method<0xD3E1F0DB, std::uint32_t(std::uint32_t)>;
    using echo = lurran::method<0xECC42F9B, std::vector<std::uint8_t>(std::vector<std::uint8_t>)>;
    using outcome = lurran::method<0x22222222, std::expected<test_record, long>(bool)>;
    using text = lurran::method<0x33333333, std::wstring(std::wstring, std::uint64_t)>;
    using notify = lurran::one_way_method<0xA6241A29, std::uint32_t, std::wstring>;
    using nothing = lurran::method<0x44444444, void()>;
    using methods = lurran::method_list<ping, fail_with, slow, echo, outcome, text, notify, nothing>;
};

struct test_callback {
    using progress = lurran::one_way_method<0xCB084E46, std::uint64_t, std::wstring, std::uint64_t, std::uint64_t>;
    using methods = lurran::method_list<progress>;
};

using pipe_transport = lurran::details::pipe::pipe_transport;
using server_connection = lurran::details::connection<pipe_transport, lurran::server_of<test_service>,
                                                      lurran::client_of<test_callback>>;
using client_connection = lurran::details::connection<pipe_transport, lurran::server_of<test_callback>,
                                                      lurran::client_of<test_service>>;
using pure_client_connection = lurran::details::connection<pipe_transport, lurran::server_of<lurran::no_interface>,
                                                           lurran::client_of<test_service>>;

// What the served side's handlers do and record; shared with the handlers by pointer.
struct service_state {
    std::atomic<int> calls{0};
    std::atomic<int> notifies{0};
    std::atomic<std::uint32_t> last_notify{0};
    std::shared_ptr<tavik::details::promise_type_<void>> gate = std::make_shared<tavik::details::promise_type_<void>>();
    HANDLE notified = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    ~service_state() { CloseHandle(notified); }
};

// Fills every handler of the served test interface.
void install_handlers(lurran::server_of<test_service>& served, service_state& state);

// Records the close handler's calls.
struct close_record {
    std::atomic<int> count{0};
    std::atomic<HRESULT> hr{0};
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ~close_record() { CloseHandle(event); }
    bool wait(std::chrono::milliseconds timeout = 5000ms) const
    {
        return WaitForSingleObject(event, DWORD(timeout.count())) == WAIT_OBJECT_0;
    }
};
void install_close_record(lurran::details::handler_slot<void(HRESULT)>& slot, close_record& record);

// Waits until a pipe of the name exists (its server has created an instance).
bool wait_for_pipe(const std::wstring& name, std::chrono::milliseconds timeout = 10000ms);

// ---- templates

namespace detail {
struct wait_signal {
    HANDLE event;
};
template <class T>
tavik::details::fire_and_forget signal_when_done(tavik::details::promise_type_<T>* promise, HANDLE event)
{
    struct registration {
        tavik::details::promise_core* p;
        tavik::details::waiter_node node;
        bool await_ready() const noexcept { return p->is_ready(); }
        bool await_suspend(std::coroutine_handle<> h) noexcept
        {
            node.handle = h;
            return p->add_waiter(node);
        }
        void await_resume() const noexcept {}
    };
    co_await registration{promise, {}};
    SetEvent(event);
}
} // namespace detail

template <class T>
bool wait_for(tavik::details::future<T>& f, std::chrono::milliseconds timeout)
{
    if (f.is_ready())
        return true;
    // The event is leaked with the future on a time-out: the waiter may still set it.
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    detail::signal_when_done(&f.promise(), event);
    if (WaitForSingleObject(event, DWORD(timeout.count())) != WAIT_OBJECT_0) {
        new tavik::details::future<T>(std::move(f));
        return false;
    }
    CloseHandle(event);
    return true;
}

template <class T>
HRESULT failure_of(tavik::details::future<T>& f, std::chrono::milliseconds timeout)
{
    if (!wait_for(f, timeout)) {
        ADD_FAILURE() << "the operation did not end in time";
        return S_FALSE;
    }
    try {
        f.get();
        return S_OK;
    } catch (const tavik::details::hresult_error_impl& e) {
        return e.code();
    } catch (...) {
        return E_UNEXPECTED;
    }
}

} // namespace lurran_test
