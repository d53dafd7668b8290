// Random and broken frames from a hostile peer against both sides of a connection: nothing
// crashes, nothing hangs, nothing allocates without bound, and every connection ends through its
// close handler once the peer goes.
#include "test_support.h"

#include <psapi.h>

#include <random>
#include <thread>

namespace lurran_test {
namespace {

using namespace tavik::details;
using namespace lurran::details;

std::size_t private_bytes()
{
    PROCESS_MEMORY_COUNTERS_EX counters{};
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters), sizeof counters);
    return counters.PrivateUsage;
}

// Everything the peer reads is thrown away, so that the connection's writes never block.
class drain {
public:
    explicit drain(HANDLE h) : thread_([h] {
        std::vector<char> buffer(65536);
        OVERLAPPED o{};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (;;) {
            DWORD n = 0;
            ResetEvent(o.hEvent);
            if (!ReadFile(h, buffer.data(), DWORD(buffer.size()), nullptr, &o) && GetLastError() != ERROR_IO_PENDING)
                break;
            if (!GetOverlappedResult(h, &o, &n, TRUE))
                break;
        }
        CloseHandle(o.hEvent);
    })
    {
    }
    ~drain() { thread_.join(); }

private:
    std::thread thread_;
};

struct frame_generator {
    std::mt19937 random;
    explicit frame_generator(std::uint32_t seed) : random(seed) {}

    std::uint32_t pick(std::initializer_list<std::uint32_t> values)
    {
        return *(values.begin() + random() % values.size());
    }

    // One frame's bytes; sometimes well formed, sometimes lying about its length or its body.
    bytes next(bool& ends_stream)
    {
        ends_stream = false;
        const std::uint32_t kind = random() % 4;
        const std::uint32_t call_word = (kind << 30) | (random() % 8 == 0 ? random() & 0x3FFFFFFF : random() % 16);
        const std::uint32_t method = random() % 5 == 0
                                         ? std::uint32_t(random())
                                         : pick({0x7E276E3D, 0x11111111, 0xD3E1F0DB, 0xECC42F9B, 0x22222222, 0x33333333,
                                                 0xA6241A29, 0x44444444, 0xCB084E46});
        bytes body;
        switch (random() % 6) {
        case 0:
            break;
        case 1: // a plausible encoding: a count followed by some bytes
            body = pattern(4 + random() % 40, random());
            store_u32le(body.data(), random() % 3 == 0 ? std::uint32_t(random()) : random() % 20);
            break;
        case 2:
            body = pattern(random() % 300, random());
            break;
        default:
            body = pattern(random() % 12, random());
            break;
        }
        bytes f(12);
        store_u32le(f.data(), call_word);
        store_u32le(f.data() + 4, method);
        std::uint32_t announced = std::uint32_t(body.size());
        const std::uint32_t lie = random() % 120;
        if (lie == 0) {
            announced = std::uint32_t(random()) | 0x80000000; // far beyond any bound
            ends_stream = true;
        } else if (lie == 1) {
            announced = announced + 1 + random() % 1000; // the body will be cut short
            ends_stream = true;
        } else if (lie == 2) {
            f.resize(random() % 12); // the header itself is cut
            ends_stream = true;
            return f;
        }
        store_u32le(f.data() + 8, announced);
        f.insert(f.end(), body.begin(), body.end());
        return f;
    }
};

template <class Connection>
void run_round(Connection& conn, close_record& closed, frame_generator& gen, int frames)
{
    auto pair = accept_raw_client(unique_pipe_name(L"fuzz"));
    raw_peer peer = std::move(pair.client);
    conn.start(std::move(pair.server));
    {
        drain sink(peer.handle());
        for (int i = 0; i < frames; ++i) {
            bool ends = false;
            bytes f = gen.next(ends);
            if (!peer.write(f))
                break; // the connection already refused the stream
            if (ends)
                break;
        }
        peer.close(); // also ends the drain
    }
    ASSERT_TRUE(closed.wait(5000ms)) << "the connection did not end after its peer went";
    conn.shutdown();
    EXPECT_EQ(closed.count, 1);
}

TEST(ConnectionFuzz, RandomFramesAgainstTheServedSide)
{
    frame_generator gen(20240611);
    service_state state;
    state.gate->set_value(); // slow requests answer at once
    const std::size_t before = private_bytes();
    for (int round = 0; round < 60; ++round) {
        close_record closed;
        server_connection conn;
        install_handlers(conn, state);
        install_close_record(conn.close_handler(), closed);
        run_round(conn, closed, gen, 200);
        if (HasFatalFailure())
            return;
    }
    // Frames announcing up to 4 GiB were refused before any allocation.
    EXPECT_LT(private_bytes(), before + (64u << 20));
}

TEST(ConnectionFuzz, RandomFramesAgainstTheCallingSide)
{
    frame_generator gen(77);
    for (int round = 0; round < 40; ++round) {
        close_record closed;
        client_connection conn;
        conn.handler<test_callback::progress>().assign([](std::uint64_t, std::wstring, std::uint64_t, std::uint64_t) {});
        install_close_record(conn.close_handler(), closed);
        std::vector<future<std::uint32_t>> calls;
        for (int i = 0; i < 8; ++i)
            calls.push_back(conn.proxy<test_service::ping>()(std::uint32_t(i)));
        run_round(conn, closed, gen, 200);
        if (HasFatalFailure())
            return;
        // Every call ended: answered by some random reply (well or badly) or cancelled.
        for (auto& c : calls)
            EXPECT_TRUE(wait_for(c, 2000ms));
    }
}

} // namespace
} // namespace lurran_test
