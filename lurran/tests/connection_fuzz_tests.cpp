// Random and broken frames from a hostile peer against both sides of a connection: nothing
// crashes, nothing hangs, nothing allocates without bound, and every connection ends through its
// close handler once the peer goes. Besides random bytes the peer sends well-formed bodies of
// every method, whole, cut at a random point or padded, so that the decoders are driven through
// both their accepting and their refusing paths; the tests check that both were reached.
#include "test_support.h"

#include <random>
#include <thread>

namespace lurran_test {
namespace {

using namespace tavik::details;
using namespace lurran::details;

const HRESULT invalid_arg = static_cast<HRESULT>(0x80070057);

// Reads everything the connection writes, so that its writes never block, and counts the
// answers among it.
struct answer_counts {
    std::atomic<int> replies{0};
    std::atomic<int> invalid_arg_replies{0};
};

class drain {
public:
    drain(HANDLE h, answer_counts& counts) : counts_(counts), thread_([this, h] { run(h); }) {}
    ~drain() { thread_.join(); }

private:
    void run(HANDLE h)
    {
        std::vector<std::byte> buffer(65536), stream;
        OVERLAPPED o{};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        for (;;) {
            DWORD n = 0;
            ResetEvent(o.hEvent);
            if (!ReadFile(h, buffer.data(), DWORD(buffer.size()), nullptr, &o) && GetLastError() != ERROR_IO_PENDING)
                break;
            if (!GetOverlappedResult(h, &o, &n, TRUE))
                break;
            stream.insert(stream.end(), buffer.begin(), buffer.begin() + n);
            std::size_t at = 0;
            while (stream.size() - at >= 12) {
                const std::uint32_t size = load_u32le(stream.data() + at + 8);
                if (stream.size() - at - 12 < size)
                    break;
                const std::uint32_t kind = load_u32le(stream.data() + at) >> 30;
                if (kind == 2)
                    ++counts_.replies;
                if (kind == 3 && size == 4 && HRESULT(load_u32le(stream.data() + at + 12)) == invalid_arg)
                    ++counts_.invalid_arg_replies;
                at += 12 + size;
            }
            stream.erase(stream.begin(), stream.begin() + std::ptrdiff_t(at));
        }
        CloseHandle(o.hEvent);
    }

    answer_counts& counts_;
    std::thread thread_;
};

struct frame_generator {
    std::mt19937 random;
    explicit frame_generator(std::uint32_t seed) : random(seed) {}

    std::uint32_t below(std::uint32_t n) { return std::uint32_t(random() % n); }

    std::wstring text()
    {
        std::wstring s(below(6), L'a');
        for (auto& c : s)
            c = wchar_t(L'a' + below(26));
        return s;
    }

    // A well-formed body of the method's arguments (or of the result a reply to ping carries).
    bytes valid_body(std::uint32_t method)
    {
        bytes b;
        switch (method) {
        case 0x7E276E3D: // ping
        case 0xD3E1F0DB: // slow
            encode_values(b, std::uint32_t(random()));
            break;
        case 0x11111111: // fail_with: an HRESULT, or 0 for a failure without one
            encode_values(b, std::int32_t(below(2) ? 0x80070420 : 0));
            break;
        case 0xECC42F9B: { // echo
            std::vector<std::uint8_t> v(below(40));
            for (auto& x : v)
                x = std::uint8_t(random());
            encode_values(b, v);
            break;
        }
        case 0x22222222: // outcome
            encode_values(b, bool(below(2)));
            break;
        case 0x33333333: // text
            encode_values(b, text(), std::uint64_t(random()));
            break;
        case 0xA6241A29: // notify
            encode_values(b, std::uint32_t(random()), text());
            break;
        case 0xCB084E46: // progress
            encode_values(b, std::uint64_t(random()), text(), std::uint64_t(random()), std::uint64_t(random()));
            break;
        default: // nothing, or an unknown method
            break;
        }
        return b;
    }

    // One frame's bytes; sometimes well formed, sometimes lying about its length or its body.
    bytes next(bool& ends_stream)
    {
        static constexpr std::uint32_t methods[] = {0x7E276E3D, 0x11111111, 0xD3E1F0DB, 0xECC42F9B, 0x22222222,
                                                    0x33333333, 0xA6241A29, 0x44444444, 0xCB084E46};
        ends_stream = false;
        // Mostly requests and one-way messages, which reach the decoders; some answers.
        const std::uint32_t kinds[] = {0, 0, 0, 1, 1, 2, 3};
        const std::uint32_t kind = kinds[below(7)];
        const std::uint32_t call_word = (kind << 30) | (below(8) == 0 ? std::uint32_t(random()) & 0x3FFFFFFF : below(16));
        const std::uint32_t method = below(8) == 0 ? std::uint32_t(random()) : methods[below(9)];
        bytes body;
        switch (below(8)) {
        case 0:
        case 1:
        case 2: // whole
            body = valid_body(method);
            break;
        case 3:
        case 4: // cut short: the decoder runs out of bytes somewhere inside a value
            body = valid_body(method);
            body.resize(body.empty() ? 0 : below(std::uint32_t(body.size())));
            break;
        case 5: { // padded with bytes the decoder must ignore
            body = valid_body(method);
            const bytes junk = pattern(1 + below(64), random());
            body.insert(body.end(), junk.begin(), junk.end());
            break;
        }
        case 6: // a plausible count followed by some bytes
            body = pattern(4 + below(40), random());
            store_u32le(body.data(), below(3) == 0 ? std::uint32_t(random()) : below(20));
            break;
        default:
            body = pattern(below(300), random());
            break;
        }
        std::uint32_t announced = std::uint32_t(body.size());
        const std::uint32_t lie = below(120);
        if (lie == 0) {
            announced = std::uint32_t(random()) | 0x80000000; // far beyond any bound
            ends_stream = true;
        } else if (lie == 1) {
            announced = announced + 1 + below(1000); // the body will be cut short
            ends_stream = true;
        } else if (lie == 2) {
            ends_stream = true; // the header itself is cut
            bytes cut(12);
            store_u32le(cut.data(), call_word);
            cut.resize(below(12));
            return cut;
        }
        bytes f(12 + body.size());
        store_u32le(f.data(), call_word);
        store_u32le(f.data() + 4, method);
        store_u32le(f.data() + 8, announced);
        std::copy(body.begin(), body.end(), f.begin() + 12);
        return f;
    }
};

template <class Connection>
void run_round(Connection& conn, close_record& closed, frame_generator& gen, int frames, answer_counts& counts)
{
    auto pair = accept_raw_client(unique_pipe_name(L"fuzz"));
    raw_peer peer = std::move(pair.client);
    conn.start(std::move(pair.server));
    {
        drain sink(peer.handle(), counts);
        for (int i = 0; i < frames; ++i) {
            bool ends = false;
            bytes f = gen.next(ends);
            if (!peer.write(f))
                break; // the connection already refused the stream
            if (ends)
                break;
        }
        // Let the answers to what was sent come back before the peer goes.
        Sleep(20);
        peer.close(); // also ends the drain
    }
    EXPECT_TRUE(closed.wait(5000ms)) << "the connection did not end after its peer went";
    conn.shutdown();
    EXPECT_EQ(closed.count, 1);
}

TEST(ConnectionFuzz, RandomFramesAgainstTheServedSide)
{
    frame_generator gen(20240611);
    service_state state;
    state.gate->set_value(); // slow requests answer at once
    const std::size_t before = private_bytes();
    answer_counts counts;
    for (int round = 0; round < 60; ++round) {
        close_record closed;
        server_connection conn;
        install_handlers(conn, state);
        install_close_record(conn.close_handler(), closed);
        run_round(conn, closed, gen, 200, counts);
        if (HasFailure())
            return;
    }
    // Frames announcing up to 4 GiB were refused before any allocation.
    EXPECT_LT(private_bytes(), before + (64u << 20));
    // The decoders both accepted bodies (handlers ran, one-way ones too) and refused short ones.
    EXPECT_GT(state.calls, 100);
    EXPECT_GT(state.notifies, 10);
    EXPECT_GT(counts.replies, 100);
    EXPECT_GT(counts.invalid_arg_replies, 50);
}

TEST(ConnectionFuzz, RandomFramesAgainstTheCallingSide)
{
    frame_generator gen(77);
    std::atomic<int> progress{0};
    int answered = 0, refused = 0;
    for (int round = 0; round < 40; ++round) {
        close_record closed;
        client_connection conn;
        conn.handler<test_callback::progress>().assign(
            [&progress](std::uint64_t, std::wstring, std::uint64_t, std::uint64_t) { ++progress; });
        install_close_record(conn.close_handler(), closed);
        std::vector<future<std::uint32_t>> calls;
        for (int i = 0; i < 16; ++i)
            calls.push_back(conn.proxy<test_service::ping>()(std::uint32_t(i)));
        answer_counts counts;
        run_round(conn, closed, gen, 200, counts);
        if (HasFailure())
            return;
        // Every call ended: answered by some random reply (well or badly) or cancelled.
        for (auto& c : calls) {
            EXPECT_TRUE(wait_for(c, 2000ms));
            const HRESULT hr = failure_of(c);
            if (hr == S_OK)
                ++answered;
            else if (hr == invalid_arg)
                ++refused; // a reply too short for its u32
        }
    }
    EXPECT_GT(progress, 10);
    EXPECT_GT(answered, 10);
    EXPECT_GT(refused, 5);
}

} // namespace
} // namespace lurran_test
