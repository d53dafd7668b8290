// The named-pipe transport against real pipes: frames of every size in both directions, peers that
// stop inside a frame, cancellation of reads, writes and listens (also racing the issue of the
// operation), and connecting to missing and busy pipes.
#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>

namespace lurran_test {
namespace {

using namespace tavik::details;
using namespace lurran::details;
using lurran::transports::pipe::connect_pipe;
using lurran::transports::pipe::create_server;
using lurran::transports::pipe::wait_duration;

const HRESULT invalid_arg = static_cast<HRESULT>(0x80070057);
const HRESULT aborted = static_cast<HRESULT>(0x800703E3);
const HRESULT broken_pipe = static_cast<HRESULT>(0x8007006D);
const HRESULT cancelled = static_cast<HRESULT>(0x800704C7);

bytes frame_bytes(std::uint32_t call_word, std::uint32_t method, const bytes& body)
{
    bytes f(12 + body.size());
    store_u32le(f.data(), call_word);
    store_u32le(f.data() + 4, method);
    store_u32le(f.data() + 8, std::uint32_t(body.size()));
    if (!body.empty())
        std::memcpy(f.data() + 12, body.data(), body.size());
    return f;
}

TEST(PipeTransport, FramesOfEverySizeArriveWholeInBothDirections)
{
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(65536), std::size_t(200000)}) {
        SCOPED_TRACE(size);
        auto [server, client] = accept_raw_client(unique_pipe_name(L"sizes"));
        const bytes body = pattern(size, std::uint32_t(size));

        // Library to raw: the exact frame, nothing more.
        auto w = server.write(message_t(0x80000007, 0xA6241A29, body));
        auto got = client.read(12 + size);
        ASSERT_TRUE(got);
        EXPECT_EQ(*got, frame_bytes(0x80000007, 0xA6241A29, body));
        EXPECT_EQ(failure_of(w), S_OK);
        EXPECT_TRUE(client.silent_for(50ms));

        // Raw to library.
        auto r = server.read();
        ASSERT_TRUE(client.write(frame_bytes(0x40000003, 0x7E276E3D, body)));
        ASSERT_TRUE(wait_for(r, 5000ms));
        message_t m = wait_blocking_result(std::move(r));
        EXPECT_EQ(m.call_word(), 0x40000003u);
        EXPECT_EQ(m.method_id(), 0x7E276E3Du);
        EXPECT_EQ(m.body, body);
    }
}

TEST(PipeTransport, LargeFramesBetweenTwoLibraryEnds)
{
    auto [server, client] = connected_transports(unique_pipe_name(L"large"), 16 << 20);
    const bytes big = pattern(200000, 7);
    auto r = server.read();
    auto w = client.write(message_t(1, 2, big));
    ASSERT_TRUE(wait_for(r, 5000ms));
    EXPECT_EQ(wait_blocking_result(std::move(r)).body, big);
    EXPECT_EQ(failure_of(w), S_OK);

    // A header that arrives in two pieces is still one frame.
    auto [server2, raw] = accept_raw_client(unique_pipe_name(L"split"));
    auto r2 = server2.read();
    bytes f = frame_bytes(9, 8, make_bytes({1, 2, 3}));
    ASSERT_TRUE(raw.write(f.data(), 5));
    Sleep(30);
    ASSERT_TRUE(raw.write(f.data() + 5, f.size() - 5));
    ASSERT_TRUE(wait_for(r2, 5000ms));
    EXPECT_EQ(wait_blocking_result(std::move(r2)).body, make_bytes({1, 2, 3}));
}

// A read takes in whatever has arrived, which may be several frames and the start of the next:
// each frame still comes out whole and in order, whichever way the bytes were cut.
TEST(PipeTransport, FramesSharingOneWriteComeOutWholeAndInOrder)
{
    const std::vector<bytes> bodies = {make_bytes({1, 2, 3, 4}), {}, pattern(1000, 3), pattern(1500, 4), pattern(70000, 5),
                                       make_bytes({9})};
    bytes stream;
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        const bytes f = frame_bytes(std::uint32_t(i), 0x100 + std::uint32_t(i), bodies[i]);
        stream.insert(stream.end(), f.begin(), f.end());
    }
    // Cut points: everything at once, inside a header, inside a small body, inside the large body.
    for (std::size_t cut : {stream.size(), std::size_t(14), std::size_t(16 + 12 + 12 + 500), std::size_t(stream.size() - 30000)}) {
        SCOPED_TRACE(cut);
        auto [server, client] = accept_raw_client(unique_pipe_name(L"shared"));
        // Written beside the reads: the pipe's buffer does not hold the whole stream.
        std::atomic<bool> written{false};
        std::thread writer([&, c = &client] {
            bool ok = c->write(stream.data(), cut);
            if (ok && cut < stream.size()) {
                Sleep(30);
                ok = c->write(stream.data() + cut, stream.size() - cut);
            }
            written = ok;
        });
        for (std::size_t i = 0; i < bodies.size(); ++i) {
            auto r = server.read();
            if (!wait_for(r, 5000ms)) {
                ADD_FAILURE() << "frame " << i << " never came";
                break;
            }
            message_t m;
            try {
                m = wait_blocking_result(std::move(r));
            } catch (...) {
                ADD_FAILURE() << "frame " << i << " failed";
                break;
            }
            EXPECT_EQ(m.call_word(), std::uint32_t(i));
            EXPECT_EQ(m.method_id(), 0x100 + std::uint32_t(i));
            EXPECT_EQ(m.body, bodies[i]) << i;
        }
        // A writer still blocked on a failed round is released by the closed pipe.
        if (HasFailure())
            server.close();
        writer.join();
        EXPECT_TRUE(written.load() || HasFailure());
    }
}

TEST(PipeTransport, PeerStoppingInsideAFrameIsAMalformedFrame)
{
    struct row {
        const char* what;
        bytes sent;
        bool close_after;
        HRESULT expected;
    };
    bytes announces_ten = frame_bytes(0, 1, {});
    store_u32le(announces_ten.data() + 8, 10);
    announces_ten.resize(12 + 5);
    bytes announces_too_much = frame_bytes(0, 1, {});
    store_u32le(announces_too_much.data() + 8, 0xFFFFFFFF);
    bytes just_above_cap = frame_bytes(0, 1, {});
    store_u32le(just_above_cap.data() + 8, max_body_size + 1);
    const std::vector<row> rows = {
        {"nothing, then closed", {}, true, broken_pipe},
        {"8 header bytes, then closed", bytes(8), true, invalid_arg},
        {"half a body, then closed", announces_ten, true, invalid_arg},
        // Refused before anything is allocated for it, while the peer stays connected.
        {"4 GiB announced", announces_too_much, false, invalid_arg},
        {"64 MiB + 1 announced", just_above_cap, false, invalid_arg},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        auto [server, client] = accept_raw_client(unique_pipe_name(L"cut"));
        auto read = server.read();
        if (!r.sent.empty()) {
            ASSERT_TRUE(client.write(r.sent));
        }
        if (r.close_after)
            client.close();
        EXPECT_EQ(failure_of(read), r.expected);
    }
}

// Any local user can open the folder pipe: a header that announces the largest body and is then
// followed by nothing must not make this end commit that body, or a handful of such clients
// would exhaust the server's memory.
TEST(PipeTransport, AnnouncedBodyIsNotCommittedBeforeItArrives)
{
    constexpr int peers = 4;
    std::vector<accepted_pair> pairs;
    std::vector<future<message_t>> reads;
    for (int i = 0; i < peers; ++i)
        pairs.push_back(accept_raw_client(unique_pipe_name(L"announce")));
    const std::size_t before = private_bytes();
    for (auto& p : pairs) {
        reads.push_back(p.server.read());
        bytes header = frame_bytes(1, 2, {});
        store_u32le(header.data() + 8, max_body_size);
        bytes start = header;
        start.resize(12 + 100, std::byte(7)); // and the first few bytes of the body
        ASSERT_TRUE(p.client.write(start));
        ASSERT_TRUE(wait_until_taken(p.server.native_handle()));
    }
    Sleep(50); // the reads have taken the bytes; give them the moment to act on them
    const std::size_t grown = private_bytes() - std::min(private_bytes(), before);
    EXPECT_LT(grown, std::size_t(16) << 20) << "committed " << (grown >> 20) << " MiB for " << peers
                                            << " bodies that never came";
    for (int i = 0; i < peers; ++i) {
        pairs[i].client.close();
        EXPECT_EQ(failure_of(reads[i]), invalid_arg);
    }

    // A body of several pieces still arrives whole when it does come.
    auto [server, client] = accept_raw_client(unique_pipe_name(L"announce-whole"), 1 << 20);
    const bytes big = pattern(3 << 20, 11);
    auto r = server.read();
    std::thread writer([&client, &big] { client.write(frame_bytes(4, 5, big)); });
    ASSERT_TRUE(wait_for(r, 5000ms));
    writer.join();
    EXPECT_EQ(wait_blocking_result(std::move(r)).body, big);
}

TEST(PipeTransport, ClosedTransportFailsWithEFail)
{
    pipe_transport empty;
    auto r = empty.read();
    EXPECT_EQ(failure_of(r), E_FAIL);
    auto w = empty.write(message_t(0, 0, {}));
    EXPECT_EQ(failure_of(w), E_FAIL);
    empty.close(); // closing an empty transport does nothing
}

TEST(PipeTransport, CancellingAbortsAPendingReadAndFailsTheNextOne)
{
    auto [server, client] = accept_raw_client(unique_pipe_name(L"cancel-read"));
    cancellation_source owner;
    server.link_cancellation(owner);
    auto pending = server.read();
    EXPECT_FALSE(pending.is_ready());
    owner.cancel();
    EXPECT_EQ(failure_of(pending), aborted);
    auto later = server.read();
    EXPECT_EQ(failure_of(later), cancelled);
}

TEST(PipeTransport, CancellingAbortsAWriteThatThePeerDoesNotRead)
{
    // Small pipe buffers and a peer that never reads: the write stays pending until cancelled.
    auto [server, client] = accept_raw_client(unique_pipe_name(L"cancel-write"), 4096);
    cancellation_source owner;
    server.link_cancellation(owner);
    auto pending = server.write(message_t(0, 1, pattern(1 << 20)));
    Sleep(50);
    EXPECT_FALSE(pending.is_ready());
    owner.cancel();
    EXPECT_EQ(failure_of(pending), aborted);
}

// The cancellation callback runs just after the operation was published and just before it is
// issued: it finds nothing to cancel, and the issuer must notice the cancellation itself.
TEST(PipeTransport, CancelLandingBetweenPublishAndIssueStillEndsTheOperation)
{
    for (bool writing : {false, true}) {
        SCOPED_TRACE(writing ? "write" : "read");
        auto [server, client] = accept_raw_client(unique_pipe_name(L"gap"), 4096);
        cancellation_source owner;
        server.link_cancellation(owner);
        // The write's first operation is its header, which a pipe with room completes at once;
        // the body's first piece is the one that pends.
        std::atomic<int> issued{writing ? -1 : 0};
        server.set_issue_hook([&owner, &issued] {
            if (issued++ == 0) {
                owner.cancel();
                Sleep(100); // the callback runs on a pool thread meanwhile
            }
        });
        HRESULT hr;
        if (writing) {
            auto w = server.write(message_t(0, 1, pattern(256 << 10)));
            hr = failure_of(w, 3000ms);
        } else {
            auto r = server.read();
            hr = failure_of(r, 3000ms);
        }
        EXPECT_EQ(hr, aborted) << std::hex << hr;
        if (hr == S_FALSE)
            client.close(); // lets a hung operation end so that the test can go on
    }
}

// Issues an operation while another thread cancels `source` after spinning `spin` times, and
// returns the HRESULT with which the operation failed.
template <class Issue>
HRESULT race_cancel_against_issue(cancellation_source& source, int spin, Issue issue)
{
    std::thread canceller([&source, spin] {
        for (int i = 0; i < spin; ++i)
            YieldProcessor();
        source.cancel();
    });
    auto operation = issue();
    canceller.join();
    return failure_of(operation, 5000ms);
}

struct cancel_race_case {
    const char* what;
    std::uint32_t seed;
    int rounds;
    // One round: makes what the operation needs, links `source` to it and races the cancel.
    HRESULT (*round)(cancellation_source& source, int spin);
};

// A cancellation that lands while an operation is being issued must still end it, aborted or
// refused as already cancelled, never left pending. Each round races the cancel, from another
// thread, against the issue of a write that the peer never reads, of a read that nothing answers,
// or of the listen of a new pipe instance.
TEST(PipeTransport, CancelRacingTheIssueOfAnOperationNeverLeavesItPending)
{
    const cancel_race_case cases[] = {
        {"write", 12345, 150,
         [](cancellation_source& owner, int spin) {
             auto [server, client] = accept_raw_client(unique_pipe_name(L"race-write"), 4096);
             server.link_cancellation(owner);
             return race_cancel_against_issue(owner, spin,
                                              [&] { return server.write(message_t(0, 1, pattern(256 << 10))); });
         }},
        {"read", 999, 150,
         [](cancellation_source& owner, int spin) {
             auto [server, client] = accept_raw_client(unique_pipe_name(L"race-read"));
             server.link_cancellation(owner);
             return race_cancel_against_issue(owner, spin, [&] { return server.read(); });
         }},
        {"listen", 4242, 100,
         [](cancellation_source& source, int spin) {
             return race_cancel_against_issue(source, spin, [&] {
                 return create_server(unique_pipe_name(L"listen-race"), source, default_params());
             });
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::mt19937 random(c.seed);
        for (int round = 0; round < c.rounds; ++round) {
            cancellation_source source;
            const HRESULT hr = c.round(source, int(random() % 4000));
            if (hr != aborted && hr != cancelled) {
                ADD_FAILURE() << std::hex << hr << " round " << std::dec << round;
                break;
            }
        }
    }
}

TEST(CreateServer, CancelledListenEndsWithAbortedAndLeavesNoInstance)
{
    const std::wstring name = unique_pipe_name(L"listen");
    cancellation_source source;
    auto listening = create_server(name, source, default_params());
    EXPECT_FALSE(listening.is_ready());
    source.cancel();
    EXPECT_EQ(failure_of(listening), aborted);
    raw_peer late = raw_peer::connect(name);
    EXPECT_EQ(late.handle(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), DWORD(ERROR_FILE_NOT_FOUND));

    // A source cancelled before the call: no instance is ever made.
    auto never = create_server(name, source, default_params());
    EXPECT_EQ(failure_of(never), cancelled);
}

// The options the installer and the folder pipe use: the first-instance flag (which Wine does not
// enforce, so it is read from the open mode create_server hands to the system), the instance count
// (read back from the pipe) and the client's process.
TEST(CreateServer, FirstInstanceFlagAndInstanceCount)
{
    auto params = default_params();
    EXPECT_EQ(lurran::details::pipe::server_open_mode(params) & FILE_FLAG_FIRST_PIPE_INSTANCE, 0u);
    params.first_instance = true;
    EXPECT_NE(lurran::details::pipe::server_open_mode(params) & FILE_FLAG_FIRST_PIPE_INSTANCE, 0u);
    EXPECT_NE(lurran::details::pipe::server_open_mode(params) & FILE_FLAG_OVERLAPPED, 0u);

    for (std::uint32_t count : {1u, 3u}) {
        const std::wstring name = unique_pipe_name(L"instances");
        cancellation_source source;
        auto p = default_params();
        p.max_instances = count;
        auto listening = create_server(name, source, p);
        auto client = connect_pipe(L".", name, 5s);
        ASSERT_TRUE(wait_for(listening, 5000ms));
        auto& server = listening.get();
        DWORD max_instances = 0;
        ASSERT_TRUE(GetNamedPipeInfo(server.native_handle(), nullptr, nullptr, nullptr, &max_instances));
        EXPECT_EQ(max_instances, count);
    }
}

TEST(CreateServer, AClientOfAnotherProcessIsTurnedAwayAndTheListenGoesOn)
{
    const std::wstring name = unique_pipe_name(L"client-pid");
    cancellation_source source;
    auto p = default_params();
    // Process ids are multiples of four: this one is never ours.
    p.client_process_id = GetCurrentProcessId() + 2;
    auto listening = create_server(name, source, p);
    raw_peer stranger = raw_peer::connect(name);
    ASSERT_NE(stranger.handle(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(stranger.read(1, 2000ms).has_value());
    EXPECT_FALSE(listening.is_ready());
    source.cancel();
    // The stranger's read ends as soon as it is turned away, so the cancel may land before the
    // instance listens again: refused as already cancelled then, aborted once it listens.
    const HRESULT ended = failure_of(listening);
    EXPECT_TRUE(ended == aborted || ended == cancelled) << std::hex << ended;

    const std::wstring own_name = unique_pipe_name(L"client-pid-own");
    cancellation_source own_source;
    auto own = default_params();
    own.client_process_id = GetCurrentProcessId();
    auto accepting = create_server(own_name, own_source, own);
    auto client = connect_pipe(L".", own_name, 5s);
    EXPECT_TRUE(wait_for(accepting, 5000ms));
    EXPECT_EQ(failure_of(accepting), S_OK);
}

// The client asks for reading, writing data and attributes, never for GENERIC_WRITE, which holds
// FILE_CREATE_PIPE_INSTANCE: a server that grants no client that right would refuse it. Read back
// from the handle's granted access.
TEST(ConnectPipe, AsksNoRightToCreateInstances)
{
    const std::wstring name = unique_pipe_name(L"access");
    cancellation_source source;
    auto listening = create_server(name, source, default_params());
    auto client = connect_pipe(L".", name, 5s);
    ASSERT_TRUE(wait_for(listening, 5000ms));

    struct basic_information {
        ULONG attributes;
        ACCESS_MASK granted_access;
        ULONG handle_count;
        ULONG pointer_count;
        ULONG reserved[10];
    } info{};
    using query_object = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    auto query = reinterpret_cast<query_object>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    ASSERT_NE(query, nullptr);
    ASSERT_EQ(query(client.native_handle(), 0, &info, sizeof(info), nullptr), 0);
    EXPECT_EQ(info.granted_access & FILE_CREATE_PIPE_INSTANCE, 0u) << std::hex << info.granted_access;
    EXPECT_NE(info.granted_access & FILE_WRITE_DATA, 0u) << std::hex << info.granted_access;
    EXPECT_NE(info.granted_access & FILE_READ_DATA, 0u) << std::hex << info.granted_access;
    EXPECT_NE(info.granted_access & FILE_WRITE_ATTRIBUTES, 0u) << std::hex << info.granted_access;
}

TEST(ConnectPipe, MissingPipeFailsAtOnce)
{
    auto start = std::chrono::steady_clock::now();
    try {
        connect_pipe(L".", unique_pipe_name(L"missing"), wait_duration(100'000'000)); // 10 s per attempt
        ADD_FAILURE() << "connected to a pipe that does not exist";
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), static_cast<HRESULT>(0x80070002));
    }
    // Three waits of ten seconds would be 30 s: failing at once is far below that.
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
}

TEST(ConnectPipe, BusyPipeWaitsForAnInstanceWithinTheAttempts)
{
    const std::wstring name = unique_pipe_name(L"busy");
    auto [first, first_client] = accept_raw_client(name);

    // The only instance is taken and no other is made: every attempt waits and times out.
    try {
        connect_pipe(L".", name, wait_duration(1'000'000), 2); // 100 ms
        ADD_FAILURE() << "connected to a busy pipe";
    } catch (const traceable_error& e) {
        EXPECT_EQ(e.code(), static_cast<HRESULT>(0x800705B4));
    }

    // The next instance comes a little later: the waiting client gets it.
    cancellation_source source;
    future<pipe_transport> next;
    std::thread listener([&] {
        Sleep(150);
        next = create_server(name, source, default_params());
    });
    pipe_transport client = connect_pipe(L".", name, wait_duration(50'000'000), 3);
    listener.join();
    EXPECT_TRUE(client.is_open());
    ASSERT_TRUE(wait_for(next, 5000ms));
    pipe_transport server = wait_blocking_result(std::move(next));

    auto r = server.read();
    auto w = client.write(message_t(3, 4, make_bytes({5})));
    ASSERT_TRUE(wait_for(r, 5000ms));
    EXPECT_EQ(wait_blocking_result(std::move(r)).body, make_bytes({5}));
    EXPECT_EQ(failure_of(w), S_OK);
}

// Clients that connect together to a server that keeps one listening instance: a client that
// finds the pipe busy waits for the next instance instead of failing.
TEST(ConnectPipe, ClientsConnectingTogetherAllGetThrough)
{
    const std::wstring name = unique_pipe_name(L"crowd");
    constexpr int clients = 4, rounds = 10;
    std::atomic<bool> stop{false};
    std::atomic<HRESULT> listener_failure{S_OK};
    cancellation_source source;
    std::vector<pipe_transport> accepted;
    std::mutex accepted_lock;
    std::thread listener([&] {
        while (!stop) {
            auto f = create_server(name, source, default_params());
            if (!wait_for(f, 10000ms))
                return;
            try {
                pipe_transport t = wait_blocking_result(std::move(f));
                std::lock_guard g(accepted_lock);
                accepted.push_back(std::move(t));
            } catch (const traceable_error& e) {
                // Clients close their ends at once; one that is gone before its instance was
                // connected must not end the listening.
                if (!stop)
                    listener_failure = e.code();
                return;
            }
        }
    });
    ASSERT_TRUE(wait_for_pipe(name));
    std::atomic<int> connected{0}, failed{0};
    std::atomic<HRESULT> last_failure{S_OK};
    std::vector<std::thread> threads;
    for (int c = 0; c < clients; ++c)
        threads.emplace_back([&] {
            for (int i = 0; i < rounds; ++i) {
                try {
                    pipe_transport t = connect_pipe(L".", name, wait_duration(20'000'000), 3);
                    ++connected; // and closed at once
                } catch (const traceable_error& e) {
                    ++failed;
                    last_failure = e.code();
                }
            }
        });
    for (auto& t : threads)
        t.join();
    stop = true;
    source.cancel();
    listener.join();
    EXPECT_EQ(connected, clients * rounds);
    EXPECT_EQ(failed, 0) << std::hex << last_failure;
    EXPECT_EQ(listener_failure, S_OK);
}

TEST(PipeNames, RepoPipeName)
{
    EXPECT_EQ(lurran::make_repo_pipe_name(L"C:\\Data\\Photos"), L"Quvan-dedupapi-v1.0/C:/Data/Photos");
    EXPECT_EQ(lurran::make_repo_pipe_name(L"C:/Data/Photos"), L"Quvan-dedupapi-v1.0/C:/Data/Photos");
    EXPECT_EQ(lurran::make_repo_pipe_name(L"D:\\A\\\\b\\"), L"Quvan-dedupapi-v1.0/D:/A//b/");
    EXPECT_EQ(lurran::make_repo_pipe_name(L""), L"Quvan-dedupapi-v1.0/");
}

} // namespace
} // namespace lurran_test
