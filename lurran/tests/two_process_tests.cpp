// Connections between two processes: the test program starts itself as the peer (a child role),
// once as the calling side and once as the served side, and once as a client that dies while its
// request runs.
#include "test_support.h"

#include <testing/support/child_process.h>

#include <cstdlib>
#include <string>
#include <thread>

namespace lurran_test {

using namespace tavik::details;
using lurran::transports::pipe::connect_pipe;
using lurran::transports::pipe::create_server;
using lurran::transports::pipe::wait_duration;

namespace {

template <class T>
bool settle(future<T>& f)
{
    return wait_for(f, 10000ms);
}

// The calls one side makes against a served test_service; 0 when every answer was right, else
// the number of the step that went wrong. The served side opens its slow gate when it receives
// the one-way notify of step 4.
int run_call_script(client_connection& c)
{
    auto ping = c.proxy<test_service::ping>()(41);
    if (!settle(ping) || ping.get() != 42)
        return 1;
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(65536), std::size_t(200000)}) {
        std::vector<std::uint8_t> v(size);
        for (std::size_t i = 0; i < size; ++i)
            v[i] = std::uint8_t(i * 13 + size);
        auto echo = c.proxy<test_service::echo>()(v);
        if (!settle(echo) || echo.get() != v)
            return 2;
    }
    // Out of order: the slow call is answered after the fast one behind it.
    auto slow = c.proxy<test_service::slow>()(5);
    auto fast = c.proxy<test_service::ping>()(1);
    if (!settle(fast) || fast.get() != 2 || slow.is_ready())
        return 3;
    c.proxy<test_service::notify>()(1, L"open the gate");
    if (!settle(slow) || slow.get() != 50)
        return 4;
    auto failing = c.proxy<test_service::fail_with>()(std::int32_t(0x80070420));
    if (!settle(failing))
        return 5;
    try {
        failing.get();
        return 5;
    } catch (const traceable_error& e) {
        if (e.code() != static_cast<HRESULT>(0x80070420))
            return 5;
    }
    auto text = c.proxy<test_service::text>()(L"\u00e9t\u00e9 ", 7);
    if (!settle(text) || text.get() != L"\u00e9t\u00e9 7")
        return 6;
    return 0;
}

// Serves test_service on one accepted transport until the peer goes; the slow gate opens on the
// first notify. Returns the close handler's HRESULT.
HRESULT serve_one(pipe_transport transport, service_state& state, std::chrono::milliseconds limit)
{
    close_record closed;
    server_connection conn;
    install_handlers(conn, state);
    // The notify handler of install_handlers signals `notified`; the gate opens on it.
    install_close_record(conn.close_handler(), closed);
    conn.start(std::move(transport));
    HANDLE events[] = {state.notified, closed.event};
    for (;;) {
        DWORD w = WaitForMultipleObjects(2, events, FALSE, DWORD(limit.count()));
        if (w == WAIT_OBJECT_0) {
            state.gate->set_value();
            continue;
        }
        break;
    }
    conn.shutdown();
    return closed.count ? closed.hr.load() : S_FALSE;
}

pipe_transport accept_one(const std::wstring& name)
{
    cancellation_source source;
    auto listening = create_server(name, source, default_params(16 << 20));
    if (!wait_for(listening, 20000ms))
        std::exit(90);
    return wait_blocking_result(std::move(listening));
}

pipe_transport connect_when_there(const std::wstring& name)
{
    if (!wait_for_pipe(name, 20000ms))
        std::exit(91);
    return connect_pipe(L".", name, wait_duration(50'000'000), 3);
}

// The peer's roles, each given the pipe's name. A failure with an HRESULT exits with 80 plus its
// low four bits.
template <int (*body)(const std::wstring& name)>
int peer_role(const test_support::child_arguments& arguments)
{
    if (arguments.size() != 1)
        return 99;
    try {
        return body(arguments[0]);
    } catch (const traceable_error& e) {
        return 80 + (e.code() & 0xF);
    }
}

// Connects and runs the call script.
int call_peer(const std::wstring& name)
{
    client_connection c;
    c.handler<test_callback::progress>().assign([](std::uint64_t, std::wstring, std::uint64_t, std::uint64_t) {});
    c.start(connect_when_there(name));
    int result = run_call_script(c);
    c.shutdown();
    return result;
}

// Accepts one client and serves it.
int serve_peer(const std::wstring& name)
{
    service_state state;
    HRESULT hr = serve_one(accept_one(name), state, 20000ms);
    // The client went away: that is how a served connection normally ends.
    return hr == static_cast<HRESULT>(0x8007006D) ? 0 : 20;
}

// Connects, sends a slow request and ends the process abruptly.
int dying_peer(const std::wstring& name)
{
    client_connection c;
    c.start(connect_when_there(name));
    auto slow = c.proxy<test_service::slow>()(1);
    Sleep(300);
    ExitProcess(33);
}

const test_support::child_role call_role(L"lurran-call", peer_role<call_peer>);
const test_support::child_role serve_role(L"lurran-serve", peer_role<serve_peer>);
const test_support::child_role die_role(L"lurran-die", peer_role<dying_peer>);

TEST(TwoProcesses, AnotherProcessCallsThisOne)
{
    const std::wstring name = unique_pipe_name(L"two-call");
    cancellation_source source;
    auto listening = create_server(name, source, default_params(16 << 20));
    auto child = test_support::start_self_as_child(L"lurran-call", {name});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(wait_for(listening, 20000ms));
    service_state state;
    HRESULT hr = serve_one(wait_blocking_result(std::move(listening)), state, 20000ms);
    EXPECT_EQ(child.wait().exit_code, 0);
    EXPECT_EQ(hr, static_cast<HRESULT>(0x8007006D));
    EXPECT_EQ(state.calls, 9);
}

TEST(TwoProcesses, ThisProcessCallsAnotherOne)
{
    const std::wstring name = unique_pipe_name(L"two-serve");
    auto child = test_support::start_self_as_child(L"lurran-serve", {name});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(wait_for_pipe(name, 20000ms));
    {
        client_connection c;
        c.start(connect_pipe(L".", name, wait_duration(50'000'000), 3));
        EXPECT_EQ(run_call_script(c), 0);
        c.shutdown();
    }
    EXPECT_EQ(child.wait().exit_code, 0);
}

TEST(TwoProcesses, ClientProcessDyingWhileItsSlowRequestRuns)
{
    const std::wstring name = unique_pipe_name(L"two-die");
    cancellation_source source;
    auto listening = create_server(name, source, default_params());
    auto child = test_support::start_self_as_child(L"lurran-die", {name});
    ASSERT_TRUE(child.started());
    ASSERT_TRUE(wait_for(listening, 20000ms));

    service_state state;
    close_record closed;
    auto conn = std::make_unique<server_connection>();
    install_handlers(*conn, state);
    install_close_record(conn->close_handler(), closed);
    conn->start(wait_blocking_result(std::move(listening)));
    EXPECT_EQ(child.wait().exit_code, 33);
    ASSERT_TRUE(closed.wait());
    EXPECT_EQ(closed.hr, static_cast<HRESULT>(0x8007006D));
    EXPECT_EQ(state.calls, 1);
    conn->shutdown();
    // The destruction waits for the request, which ends once its gate opens.
    std::thread opener([&state] {
        Sleep(50);
        state.gate->set_value();
    });
    conn.reset();
    opener.join();
}

} // namespace
} // namespace lurran_test
