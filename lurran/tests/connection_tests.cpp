// Connections over real pipes in one process: the served side against a raw peer that sends
// exact frames, the calling side against a raw peer that answers as it likes, and two library
// connections talking to each other.
#include "test_support.h"

#include <algorithm>
#include <thread>

namespace lurran_test {
namespace {

using namespace tavik::details;
using namespace lurran::details;

const HRESULT invalid_arg = static_cast<HRESULT>(0x80070057);
const HRESULT broken_pipe = static_cast<HRESULT>(0x8007006D);
const HRESULT cancelled = static_cast<HRESULT>(0x800704C7);
const HRESULT not_impl = static_cast<HRESULT>(0x80004001);

bytes u32(std::uint32_t v)
{
    bytes b(4);
    store_u32le(b.data(), v);
    return b;
}

// A served connection started on a pipe whose other end is a raw peer.
struct served_fixture {
    service_state state;
    close_record closed;
    std::unique_ptr<server_connection> conn = std::make_unique<server_connection>();
    raw_peer peer;

    explicit served_fixture(std::uint32_t buffer = 65536)
    {
        install_handlers(*conn, state);
        install_close_record(conn->close_handler(), closed);
        auto pair = accept_raw_client(unique_pipe_name(L"served"), buffer);
        peer = std::move(pair.client);
        conn->start(std::move(pair.server));
    }

    // Sends one frame and reads the one answer.
    raw_peer::frame ask(std::uint32_t call_word, std::uint32_t method, const bytes& body)
    {
        EXPECT_TRUE(peer.write_frame(call_word, method, body));
        auto f = peer.read_frame();
        EXPECT_TRUE(f.has_value());
        return f ? std::move(*f) : raw_peer::frame{};
    }
};

// A calling connection whose other end is a raw peer playing the server.
struct calling_fixture {
    close_record closed;
    std::unique_ptr<client_connection> conn = std::make_unique<client_connection>();
    raw_peer peer;
    std::vector<std::tuple<std::uint64_t, std::wstring, std::uint64_t, std::uint64_t>> progress;

    calling_fixture()
    {
        conn->handler<test_callback::progress>().assign(
            [this](std::uint64_t cookie, std::wstring stage, std::uint64_t done, std::uint64_t total) {
                progress.emplace_back(cookie, std::move(stage), done, total);
            });
        install_close_record(conn->close_handler(), closed);
        auto pair = accept_raw_client(unique_pipe_name(L"calling"));
        peer = std::move(pair.client);
        conn->start(std::move(pair.server));
    }

    future<std::uint32_t> ping(std::uint32_t v) { return conn->proxy<test_service::ping>()(v); }
};

TEST(ServedConnection, EachRequestIsAnsweredOnceWithItsReplyOrErrorReply)
{
    served_fixture f;
    struct row {
        const char* what;
        std::uint32_t call_id;
        std::uint32_t method;
        bytes body;
        std::uint32_t answer_kind; // 2 reply, 3 error reply
        bytes answer;
    };
    bytes record(1, std::byte(1));
    for (int v : {8, 7, 6, 5, 4, 3, 2, 1, 9, 0, 0, 0, 10, 0, 0, 0})
        record.push_back(std::byte(v));
    const std::vector<row> rows = {
        {"ping", 5, 0x7E276E3D, u32(41), 2, u32(42)},
        {"expected holding an HRESULT", 6, 0x22222222, make_bytes({0}), 2, make_bytes({0, 0x20, 0x04, 0x07, 0x80})},
        {"expected holding a record", 7, 0x22222222, make_bytes({1}), 2, record},
        {"void result", 8, 0x44444444, {}, 2, {}},
        {"handler raising an HRESULT", 9, 0x11111111, u32(0x80070420), 3, make_bytes({0x20, 0x04, 0x07, 0x80})},
        {"handler raising something else", 10, 0x11111111, u32(0), 3, u32(0x80004005)},
        {"unknown method", 11, 0x12345678, make_bytes({1, 2}), 3, make_bytes({0x01, 0x40, 0x00, 0x80})},
        {"one-way method as a request", 12, 0xA6241A29, make_bytes({1, 0, 0, 0, 0, 0, 0, 0}), 2, {}},
        {"body too short for the arguments", 13, 0x7E276E3D, make_bytes({1, 2}), 3, u32(invalid_arg)},
        {"string longer than the body", 14, 0x33333333, make_bytes({0xFF, 0, 0, 0, 0x61, 0}), 3, u32(invalid_arg)},
        {"highest call id", 0x3FFFFFFF, 0x7E276E3D, u32(1), 2, u32(2)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        auto answer = f.ask(r.call_id, r.method, r.body);
        EXPECT_EQ(answer.call_word, (r.answer_kind << 30) | r.call_id);
        EXPECT_EQ(answer.method_id, r.method);
        EXPECT_EQ(answer.body, r.answer);
    }
    EXPECT_EQ(f.state.notifies, 0);
    // Exactly one answer each: nothing else arrives.
    EXPECT_TRUE(f.peer.silent_for(100ms));
    EXPECT_EQ(f.closed.count, 0);
}

TEST(ServedConnection, OneWayMessagesAreNeverAnswered)
{
    served_fixture f;
    bytes notify_body = u32(77);
    notify_body.insert(notify_body.end(), {std::byte(1), std::byte(0), std::byte(0), std::byte(0), std::byte('x'), std::byte(0)});
    // Unknown id, a two-way method's id, a malformed body, and a good one.
    ASSERT_TRUE(f.peer.write_frame(0x40000001, 0x12345678, {}));
    ASSERT_TRUE(f.peer.write_frame(0x40000002, 0x7E276E3D, u32(1)));
    ASSERT_TRUE(f.peer.write_frame(0x40000003, 0xA6241A29, make_bytes({1})));
    ASSERT_TRUE(f.peer.write_frame(0x40000004, 0xA6241A29, notify_body));
    ASSERT_EQ(WaitForSingleObject(f.state.notified, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(f.state.last_notify, 77u);
    EXPECT_EQ(f.state.notifies, 1);
    EXPECT_EQ(f.state.calls, 0);
    EXPECT_TRUE(f.peer.silent_for(100ms));
    // The connection is still open and serving.
    EXPECT_EQ(f.ask(1, 0x7E276E3D, u32(1)).body, u32(2));
}

TEST(ServedConnection, ServingNothingAnswersEveryRequestWithInvalidArg)
{
    pure_client_connection conn;
    auto pair = accept_raw_client(unique_pipe_name(L"pure"));
    conn.start(std::move(pair.server));
    ASSERT_TRUE(pair.client.write_frame(0x40000000, 0x7E276E3D, {}));
    ASSERT_TRUE(pair.client.write_frame(3, 0x7E276E3D, u32(1)));
    auto answer = pair.client.read_frame();
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->call_word, 0xC0000003u);
    EXPECT_EQ(answer->body, u32(invalid_arg));
    EXPECT_TRUE(pair.client.silent_for(50ms));
}

TEST(ServedConnection, MalformedFramesEndTheConnectionThroughTheCloseHandler)
{
    struct row {
        const char* what;
        bytes sent;
        HRESULT expected;
    };
    bytes huge(12);
    store_u32le(huge.data() + 8, 0xFFFFFFF0);
    const std::vector<row> rows = {
        {"header cut short", bytes(8), invalid_arg},
        {"4 GiB body announced", huge, invalid_arg},
        {"peer gone between frames", {}, broken_pipe},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        served_fixture f;
        if (!r.sent.empty()) {
            ASSERT_TRUE(f.peer.write(r.sent));
        }
        if (r.expected != invalid_arg || r.sent.size() < 12)
            f.peer.close();
        ASSERT_TRUE(f.closed.wait());
        EXPECT_EQ(f.closed.hr, r.expected) << std::hex << f.closed.hr.load();
        f.conn->shutdown();
        EXPECT_EQ(f.closed.count, 1);
    }
}

TEST(CallingConnection, CallIdsCountRequestsAndOneWayMessagesAndRepliesMatchOutOfOrder)
{
    calling_fixture f;
    auto first = f.ping(1);
    f.conn->proxy<test_service::notify>()(5, L"hi");
    auto second = f.ping(2);
    auto r0 = f.peer.read_frame(), r1 = f.peer.read_frame(), r2 = f.peer.read_frame();
    ASSERT_TRUE(r0 && r1 && r2);
    EXPECT_EQ(r0->call_word, 0u);
    EXPECT_EQ(r0->method_id, 0x7E276E3Du);
    EXPECT_EQ(r0->body, u32(1));
    EXPECT_EQ(r1->call_word, 0x40000001u);
    EXPECT_EQ(r1->body, make_bytes({5, 0, 0, 0, 2, 0, 0, 0, 'h', 0, 'i', 0}));
    EXPECT_EQ(r2->call_word, 2u);

    // Answered in the opposite order; the method id of an answer is not compared.
    ASSERT_TRUE(f.peer.write_frame(0x80000002, 0x99999999, u32(20)));
    ASSERT_TRUE(wait_for(second, 5000ms));
    EXPECT_FALSE(first.is_ready());
    ASSERT_TRUE(f.peer.write_frame(0x80000000, 0x7E276E3D, u32(10)));
    ASSERT_TRUE(wait_for(first, 5000ms));
    EXPECT_EQ(second.get(), 20u);
    EXPECT_EQ(first.get(), 10u);
    EXPECT_EQ(f.conn->pending_calls(), 0u);
}

TEST(CallingConnection, ErrorRepliesFailTheCall)
{
    calling_fixture f;
    struct row {
        const char* what;
        bytes body;
        HRESULT expected;
    };
    const std::vector<row> rows = {
        {"4-byte HRESULT", u32(0x80070420), static_cast<HRESULT>(0x80070420)},
        {"2 bytes", make_bytes({1, 2}), E_FAIL},
        {"3 bytes", make_bytes({1, 2, 3}), E_FAIL},
        {"5 bytes", make_bytes({1, 2, 3, 4, 5}), E_FAIL},
        {"empty", {}, E_FAIL},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        auto call = f.ping(0);
        auto request = f.peer.read_frame();
        ASSERT_TRUE(request);
        ASSERT_TRUE(f.peer.write_frame(0xC0000000 | request->call_word, request->method_id, r.body));
        EXPECT_EQ(failure_of(call), r.expected);
    }

    // Even the cancellation HRESULT arrives as a plain traceable error, not as operation_cancelled.
    auto call = f.ping(0);
    auto request = f.peer.read_frame();
    ASSERT_TRUE(request);
    ASSERT_TRUE(f.peer.write_frame(0xC0000000 | request->call_word, request->method_id, u32(cancelled)));
    ASSERT_TRUE(wait_for(call, 5000ms));
    try {
        call.get();
        ADD_FAILURE();
    } catch (const operation_cancelled&) {
        ADD_FAILURE() << "arrived as operation_cancelled";
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), cancelled);
    }

    // A reply too short for the result fails the call, not the connection.
    auto short_reply = f.ping(0);
    request = f.peer.read_frame();
    ASSERT_TRUE(request);
    ASSERT_TRUE(f.peer.write_frame(0x80000000 | request->call_word, request->method_id, make_bytes({1})));
    EXPECT_EQ(failure_of(short_reply), invalid_arg);
    EXPECT_EQ(f.closed.count, 0);
}

TEST(CallingConnection, AnswersNobodyWaitsForAreDroppedAndIncomingOneWayRuns)
{
    calling_fixture f;
    ASSERT_TRUE(f.peer.write_frame(0x80000123, 0x7E276E3D, u32(1)));
    ASSERT_TRUE(f.peer.write_frame(0xC0000124, 0x7E276E3D, u32(1)));
    bytes progress;
    encode_values(progress, std::uint64_t(9), std::wstring(L""), std::uint64_t(1), std::uint64_t(2));
    ASSERT_TRUE(f.peer.write_frame(0x40000000, 0xCB084E46, progress));
    auto call = f.ping(4);
    auto request = f.peer.read_frame();
    ASSERT_TRUE(request);
    ASSERT_TRUE(f.peer.write_frame(0x80000000 | request->call_word, request->method_id, u32(5)));
    ASSERT_TRUE(wait_for(call, 5000ms));
    EXPECT_EQ(call.get(), 5u);
    ASSERT_EQ(f.progress.size(), 1u);
    EXPECT_EQ(f.progress[0], std::make_tuple(std::uint64_t(9), std::wstring(), std::uint64_t(1), std::uint64_t(2)));
}

TEST(CallingConnection, PeerClosingWithCallsPendingRunsTheCloseHandlerOnceAndShutdownFailsTheCalls)
{
    calling_fixture f;
    auto a = f.ping(1);
    auto b = f.ping(2);
    ASSERT_TRUE(f.peer.read_frame());
    ASSERT_TRUE(f.peer.read_frame());
    f.peer.close();
    ASSERT_TRUE(f.closed.wait());
    EXPECT_EQ(f.closed.hr, broken_pipe);
    Sleep(20);
    EXPECT_FALSE(a.is_ready());
    f.conn->shutdown();
    EXPECT_EQ(failure_of(a), cancelled);
    EXPECT_EQ(failure_of(b), cancelled);
    EXPECT_EQ(f.closed.count, 1);

    // Calls made after the end fail at once; a second shutdown does nothing.
    auto late = f.ping(3);
    EXPECT_EQ(failure_of(late, 1000ms), cancelled);
    f.conn->shutdown();
    EXPECT_EQ(f.closed.count, 1);
}

// After the counter wraps, an id whose call still waits is not given to another call.
TEST(CallingConnection, CallIdsStillPendingAreSkipped)
{
    auto core = std::make_shared<connection_core>();
    core->counter = 5;
    auto waiting = core->call(1, {});
    core->counter = 5 + 0x40000000; // the counter has gone round once
    auto next = core->call(1, {});
    {
        AcquireSRWLockShared(&core->pending_lock);
        std::vector<std::uint32_t> ids;
        for (auto& [id, state] : core->pending)
            ids.push_back(id);
        ReleaseSRWLockShared(&core->pending_lock);
        EXPECT_EQ(ids, (std::vector<std::uint32_t>{5, 6}));
    }
    core->queue.close();
    core->fail_pending_calls();
    EXPECT_EQ(failure_of(waiting), cancelled);
    EXPECT_EQ(failure_of(next), cancelled);
}

TEST(CallingConnection, CallMadeBeforeTheStartIsWrittenOnceTheWriterRuns)
{
    client_connection conn;
    auto early = conn.proxy<test_service::ping>()(7);
    EXPECT_EQ(conn.queued_messages(), 1u);
    auto pair = accept_raw_client(unique_pipe_name(L"early"));
    conn.start(std::move(pair.server));
    auto request = pair.client.read_frame();
    ASSERT_TRUE(request);
    EXPECT_EQ(request->call_word, 0u);
    ASSERT_TRUE(pair.client.write_frame(0x80000000, request->method_id, u32(8)));
    ASSERT_TRUE(wait_for(early, 5000ms));
    EXPECT_EQ(early.get(), 8u);
}

TEST(CallingConnection, ShutdownBeforeTheStartEndsItForGood)
{
    close_record closed;
    client_connection conn;
    install_close_record(conn.close_handler(), closed);
    auto queued = conn.proxy<test_service::ping>()(7);
    conn.shutdown();
    conn.shutdown();
    EXPECT_EQ(failure_of(queued, 1000ms), cancelled);

    // A start after that ends at once and writes nothing of what was queued.
    auto pair = accept_raw_client(unique_pipe_name(L"ended"));
    conn.start(std::move(pair.server));
    ASSERT_TRUE(closed.wait());
    EXPECT_EQ(closed.hr, cancelled);
    EXPECT_TRUE(pair.client.silent_for(100ms));
    auto late = conn.proxy<test_service::ping>()(8);
    EXPECT_EQ(failure_of(late, 1000ms), cancelled);
}

TEST(CallingConnection, DestroyingAConnectionFailsItsWaitingCalls)
{
    future<std::uint32_t> orphan;
    {
        client_connection never_started;
        orphan = never_started.proxy<test_service::ping>()(1);
    }
    EXPECT_EQ(failure_of(orphan, 1000ms), cancelled);
}

// What a handler that outlives its client sees of its connection.
struct outliving_probe {
    std::shared_ptr<promise_type_<void>> gate = std::make_shared<promise_type_<void>>();
    std::atomic<bool> started{false};
    std::atomic<bool> capture_destroyed{false};   // the handler's own captures
    std::atomic<bool> connection_destroyed{false}; // set by the test once the destructor returned
    std::atomic<int> saw_capture_destroyed{-1};
    std::atomic<int> saw_connection_destroyed{-1};
};

// A capture whose destruction the probe records.
struct watched_capture {
    outliving_probe* probe;
    explicit watched_capture(outliving_probe* p) noexcept : probe(p) {}
    watched_capture(watched_capture&& o) noexcept : probe(std::exchange(o.probe, nullptr)) {}
    ~watched_capture()
    {
        if (probe)
            probe->capture_destroyed = true;
    }
};

// A request whose handler is still running when its client goes away and the owner shuts the
// connection down and destroys it: the destruction waits for the handler, so that the handler's
// captures (here a lambda coroutine's, which live in the connection's slot) and whatever the
// owner keeps for the connection's lifetime stay valid until it ends. The answer then goes
// nowhere.
TEST(ServedConnection, DestroyingAConnectionWaitsForTheRequestsStillRunning)
{
    outliving_probe probe;
    service_state state;
    close_record closed;
    auto conn = std::make_unique<server_connection>();
    install_handlers(*conn, state);
    install_close_record(conn->close_handler(), closed);
    conn->handler<test_service::slow>().assign(
        [p = &probe, watched = watched_capture(&probe)](std::uint32_t key) -> future<std::uint32_t> {
            p->started = true;
            co_await *p->gate;
            // Read through the coroutine's copy of the pointer: the closure itself may be gone.
            p->saw_capture_destroyed = p->capture_destroyed.load() ? 1 : 0;
            p->saw_connection_destroyed = p->connection_destroyed.load() ? 1 : 0;
            co_return key;
        });
    auto pair = accept_raw_client(unique_pipe_name(L"outlive"));
    conn->start(std::move(pair.server));
    ASSERT_TRUE(pair.client.write_frame(1, 0xD3E1F0DB, u32(3)));
    for (int i = 0; i < 5000 && !probe.started; ++i)
        Sleep(1);
    ASSERT_TRUE(probe.started);
    pair.client.close();
    ASSERT_TRUE(closed.wait());
    EXPECT_EQ(closed.hr, broken_pipe);
    conn->shutdown();

    std::thread opener([&probe] {
        Sleep(100);
        probe.gate->set_value();
    });
    conn.reset();
    probe.connection_destroyed = true;
    opener.join();
    for (int i = 0; i < 5000 && probe.saw_connection_destroyed < 0; ++i)
        Sleep(1);
    EXPECT_EQ(probe.saw_connection_destroyed, 0) << "the connection was destroyed under a running handler";
    EXPECT_EQ(probe.saw_capture_destroyed, 0) << "the handler's captures were destroyed while it ran";
    EXPECT_TRUE(probe.capture_destroyed);
}

TEST(ServedConnection, ShutdownEndsAWriteThatThePeerNeverReads)
{
    served_fixture f(4096);
    bytes request;
    encode_values(request, std::vector<std::uint8_t>(1 << 20, 7));
    ASSERT_TRUE(f.peer.write_frame(1, 0xECC42F9B, request));
    // The 1 MiB reply cannot leave a 4 KiB pipe that nobody reads.
    Sleep(100);
    std::atomic<bool> done{false};
    std::thread stopper([&] {
        f.conn->shutdown();
        done = true;
    });
    for (int i = 0; i < 5000 && !done; ++i)
        Sleep(1);
    EXPECT_TRUE(done) << "shutdown hangs on a write the peer never reads";
    if (!done) {
        f.peer.close(); // lets the write fail so that the test can end
    }
    stopper.join();
    EXPECT_EQ(f.closed.count, 1);
}

// Bytes after a request's arguments are ignored, so a client can pad every request with up to
// max_body_size of junk. Those bytes must not stay allocated while the handler runs (nor as the
// buffer of the reply that is then queued), or a few requests to a slow method would hold
// hundreds of megabytes of the server's memory.
TEST(ServedConnection, PaddedRequestsDoNotHoldTheirBodiesWhileTheirHandlersRun)
{
    served_fixture f(1 << 20);
    constexpr int requests = 16;
    constexpr std::size_t padding = 4 << 20;
    bytes body = u32(0);
    body.resize(4 + padding, std::byte(0x5A));
    const std::size_t before = private_bytes();
    for (int i = 0; i < requests; ++i) {
        store_u32le(body.data(), std::uint32_t(i));
        ASSERT_TRUE(f.peer.write_frame(std::uint32_t(i), 0xD3E1F0DB, body));
    }
    for (int i = 0; i < 5000 && f.state.calls < requests; ++i)
        Sleep(1);
    ASSERT_EQ(f.state.calls, requests);
    const std::size_t grown = private_bytes() - std::min(private_bytes(), before);
    EXPECT_LT(grown, std::size_t(24) << 20) << (grown >> 20) << " MiB held by " << requests
                                            << " requests waiting in their handlers";

    f.state.gate->set_value();
    std::vector<int> seen(requests, 0);
    for (int i = 0; i < requests; ++i) {
        auto answer = f.peer.read_frame();
        ASSERT_TRUE(answer);
        const std::uint32_t id = answer->call_word & 0x3FFFFFFF;
        ASSERT_EQ(answer->call_word >> 30, 2u);
        ASSERT_LT(id, std::uint32_t(requests));
        EXPECT_EQ(answer->body, u32(id * 10));
        ++seen[id];
    }
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), requests);
}

// A peer that floods requests and reads none of the answers: the served side stops reading once
// it owes answers_limit answers, instead of queueing answers and running requests without bound;
// once the peer reads, every request is answered exactly once.
TEST(ServedConnection, PeerThatDoesNotReadItsAnswersIsNotReadEither)
{
    served_fixture f(4096);
    constexpr std::uint32_t requests = 5000;
    std::atomic<bool> all_sent{false};
    std::thread flood([&] {
        bytes frames(16 * requests);
        for (std::uint32_t i = 0; i < requests; ++i) {
            std::byte* frame = frames.data() + 16 * i;
            store_u32le(frame, i);
            store_u32le(frame + 4, 0x7E276E3D);
            store_u32le(frame + 8, 4);
            store_u32le(frame + 12, i);
        }
        all_sent = f.peer.write(frames);
    });
    Sleep(300);
    EXPECT_FALSE(all_sent) << "the served side read everything although nothing was answered";
    EXPECT_LE(f.conn->answers_owed(), write_queue::answers_limit);
    EXPECT_LE(f.conn->queued_messages(), write_queue::answers_limit);

    // Every answer is a 16-byte frame.
    // A bound on a hang, not a time to meet: a loaded machine may take long over 5000 round trips.
    auto answers = f.peer.read(16 * requests, 60000ms);
    ASSERT_TRUE(answers);
    std::vector<int> seen(requests, 0);
    for (std::uint32_t n = 0; n < requests; ++n) {
        const std::byte* answer = answers->data() + 16 * n;
        const std::uint32_t call_word = load_u32le(answer);
        ASSERT_EQ(call_word >> 30, 2u);
        const std::uint32_t id = call_word & 0x3FFFFFFF;
        ASSERT_LT(id, requests);
        ASSERT_EQ(load_u32le(answer + 8), 4u);
        EXPECT_EQ(load_u32le(answer + 12), id + 1);
        ++seen[id];
    }
    flood.join();
    EXPECT_TRUE(all_sent);
    EXPECT_EQ(std::count(seen.begin(), seen.end(), 1), std::ptrdiff_t(requests));
    EXPECT_EQ(f.conn->answers_owed(), 0u);
    EXPECT_EQ(f.closed.count, 0);
}

// An owner may end its connection from the close handler itself: shut it down, or destroy it,
// also while another thread of the owner calls shutdown at the same moment and a request is in
// progress.
TEST(ServedConnection, ShutdownOrDestructionFromTheCloseHandlerDoesNotDeadlock)
{
    for (int round = 0; round < 30; ++round) {
        SCOPED_TRACE(round);
        const int how = round % 3; // 0 shut down, 1 destroyed, 2 shut down racing the owner's shutdown
        service_state state;
        state.gate->set_value();
        auto conn = std::make_unique<server_connection>();
        install_handlers(*conn, state);
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        server_connection* raw = conn.get();
        std::unique_ptr<server_connection>* owner = how == 1 ? &conn : nullptr;
        conn->close_handler().assign([raw, owner, done](HRESULT) {
            if (owner)
                owner->reset();
            else
                raw->shutdown();
            SetEvent(done);
        });
        auto pair = accept_raw_client(unique_pipe_name(L"close-ends"));
        conn->start(std::move(pair.server));
        ASSERT_TRUE(pair.client.write_frame(1, 0xD3E1F0DB, u32(2)));
        std::thread racer;
        if (how == 2)
            racer = std::thread([raw] { raw->shutdown(); });
        else
            pair.client.close();
        const bool ended = WaitForSingleObject(done, 5000) == WAIT_OBJECT_0;
        EXPECT_TRUE(ended) << "the close handler did not return";
        if (!ended) {
            racer.detach();
            return; // everything leaked on purpose: a thread is stuck in it
        }
        CloseHandle(done);
        if (racer.joinable())
            racer.join();
        if (how == 1) {
            EXPECT_FALSE(conn);
        }
        conn.reset();
    }
}

// Two library connections talking to each other, in both directions.
struct linked_fixture {
    service_state state;
    close_record server_closed, client_closed;
    server_connection server;
    client_connection client;
    std::atomic<int> progress_seen{0};

    explicit linked_fixture(std::uint32_t buffer = 1 << 20)
    {
        install_handlers(server, state);
        install_close_record(server.close_handler(), server_closed);
        client.handler<test_callback::progress>().assign(
            [this](std::uint64_t, std::wstring, std::uint64_t, std::uint64_t) { ++progress_seen; });
        install_close_record(client.close_handler(), client_closed);
        auto [s, c] = connected_transports(unique_pipe_name(L"linked"), buffer);
        server.start(std::move(s));
        client.start(std::move(c));
    }
};

TEST(LinkedConnections, EveryKindOfCallInBothDirections)
{
    linked_fixture f;
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(65536), std::size_t(200000)}) {
        std::vector<std::uint8_t> v(size);
        for (std::size_t i = 0; i < size; ++i)
            v[i] = std::uint8_t(i * 7);
        auto echo = f.client.proxy<test_service::echo>()(v);
        ASSERT_TRUE(wait_for(echo, 5000ms));
        EXPECT_EQ(echo.get(), v) << size;
    }
    auto text = f.client.proxy<test_service::text>()(L"n=", 42);
    auto outcome = f.client.proxy<test_service::outcome>()(false);
    auto nothing = f.client.proxy<test_service::nothing>()();
    ASSERT_TRUE(wait_for(text, 5000ms) && wait_for(outcome, 5000ms) && wait_for(nothing, 5000ms));
    EXPECT_EQ(text.get(), L"n=42");
    auto& o = outcome.get();
    ASSERT_FALSE(o.has_value());
    EXPECT_EQ(o.error(), long(0x80070420));
    nothing.get();

    f.client.proxy<test_service::notify>()(3, L"x");
    ASSERT_EQ(WaitForSingleObject(f.state.notified, 5000), WAIT_OBJECT_0);
    for (int i = 0; i < 3; ++i)
        f.server.proxy<test_callback::progress>()(1, L"stage", i, 3);
    for (int i = 0; i < 500 && f.progress_seen < 3; ++i)
        Sleep(1);
    EXPECT_EQ(f.progress_seen, 3);

    // A slow call does not hold up the fast ones behind it.
    auto slow = f.client.proxy<test_service::slow>()(4);
    auto fast = f.client.proxy<test_service::ping>()(4);
    ASSERT_TRUE(wait_for(fast, 5000ms));
    EXPECT_EQ(fast.get(), 5u);
    EXPECT_FALSE(slow.is_ready());
    f.state.gate->set_value();
    ASSERT_TRUE(wait_for(slow, 5000ms));
    EXPECT_EQ(slow.get(), 40u);

    f.client.shutdown();
    ASSERT_TRUE(f.server_closed.wait());
    EXPECT_EQ(f.server_closed.hr, broken_pipe);
}

TEST(LinkedConnections, ConcurrentCallsFromManyThreadsAreAllMatched)
{
    linked_fixture f;
    constexpr int threads = 4, calls = 100;
    std::atomic<int> wrong{0};
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back([&, t] {
            std::vector<future<std::uint32_t>> batch;
            for (int i = 0; i < calls; ++i)
                batch.push_back(f.client.proxy<test_service::ping>()(std::uint32_t(t * 1000 + i)));
            for (int i = 0; i < calls; ++i) {
                if (!wait_for(batch[i], 10000ms) || batch[i].get() != std::uint32_t(t * 1000 + i + 1))
                    ++wrong;
            }
        });
    for (auto& t : pool)
        t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(f.client.pending_calls(), 0u);
}

// Calls racing the shutdown from other threads: each ends promptly, answered or cancelled.
TEST(LinkedConnections, CallsRacingTheShutdownAllEnd)
{
    for (int round = 0; round < 20; ++round) {
        linked_fixture f;
        std::atomic<bool> stop{false};
        std::atomic<int> hung{0}, other{0};
        std::vector<std::thread> callers;
        for (int t = 0; t < 3; ++t)
            callers.emplace_back([&] {
                while (!stop) {
                    auto call = f.client.proxy<test_service::ping>()(1);
                    if (!wait_for(call, 5000ms)) {
                        ++hung;
                        return;
                    }
                    try {
                        call.get();
                    } catch (const traceable_error& e) {
                        if (e.code() != cancelled)
                            ++other;
                    }
                }
            });
        Sleep(round % 5);
        f.client.shutdown();
        Sleep(5);
        stop = true;
        for (auto& c : callers)
            c.join();
        EXPECT_EQ(hung, 0);
        EXPECT_EQ(other, 0);
        if (HasFailure())
            break;
    }
}

} // namespace
} // namespace lurran_test
