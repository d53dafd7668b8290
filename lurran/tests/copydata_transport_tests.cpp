// The WM_COPYDATA transport between message-only windows of this process: the frame check of the
// receiving window, the order of frames, cancellation, failing sends and the sender's wait for its
// frame before it shuts down.
#include "test_support.h"

#include <lurran/connection.h>
#include <lurran/copydata_transport.h>
#include <lurran/interface.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace lurran_test;
using namespace std::chrono_literals;
using lurran::details::message_t;
namespace copydata = lurran::details::copydata;

struct forward_test {
    using line = lurran::one_way_method<0x02D2E0D8, std::wstring>;
    using methods = lurran::method_list<line>;
};

using sender_connection = lurran::details::connection<copydata::copydata_transport, lurran::server_of<lurran::no_interface>,
                                                      lurran::client_of<forward_test>>;
using receiver_connection = lurran::details::connection<copydata::copydata_transport, lurran::server_of<forward_test>,
                                                        lurran::client_of<lurran::no_interface>>;

// A message-only window on a thread of its own that offers every WM_COPYDATA to an inbox and
// records what it answered. With `pump` false the thread never reads its messages.
class receiving_window {
public:
    explicit receiving_window(bool pump = true)
    {
        HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        thread_ = std::thread([this, ready, pump] {
            static const ATOM atom = [] {
                WNDCLASSEXW c{sizeof(c)};
                c.lpfnWndProc = &procedure;
                c.hInstance = GetModuleHandleW(nullptr);
                c.lpszClassName = L"lurran copydata test";
                return RegisterClassExW(&c);
            }();
            window_ = CreateWindowExW(0, MAKEINTATOM(atom), L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                      GetModuleHandleW(nullptr), nullptr);
            SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            thread_id_ = GetCurrentThreadId();
            SetEvent(ready);
            if (!pump) {
                WaitForSingleObject(stop_, INFINITE);
            } else {
                MSG m;
                while (GetMessageW(&m, nullptr, 0, 0) > 0)
                    DispatchMessageW(&m);
            }
            DestroyWindow(window_);
        });
        WaitForSingleObject(ready, INFINITE);
        CloseHandle(ready);
    }
    ~receiving_window()
    {
        SetEvent(stop_);
        PostThreadMessageW(thread_id_, WM_QUIT, 0, 0);
        thread_.join();
        CloseHandle(stop_);
    }

    HWND window() const { return window_; }
    void attach(std::shared_ptr<copydata::inbox> inbox)
    {
        std::lock_guard guard(lock_);
        inbox_ = std::move(inbox);
    }
    int handled() const { return handled_.load(); }
    int unhandled() const { return unhandled_.load(); }

private:
    static LRESULT CALLBACK procedure(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        auto* self = reinterpret_cast<receiving_window*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        if (message == WM_COPYDATA && self) {
            std::shared_ptr<copydata::inbox> inbox;
            {
                std::lock_guard guard(self->lock_);
                inbox = self->inbox_;
            }
            std::int64_t result = 1;
            if (inbox && copydata::accept_frame(*inbox, lparam, result)) {
                ++self->handled_;
                return static_cast<LRESULT>(result);
            }
            ++self->unhandled_;
        }
        return DefWindowProcW(window, message, wparam, lparam);
    }

    std::thread thread_;
    HWND window_ = nullptr;
    DWORD thread_id_ = 0;
    HANDLE stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::mutex lock_;
    std::shared_ptr<copydata::inbox> inbox_;
    std::atomic<int> handled_{0};
    std::atomic<int> unhandled_{0};
};

// Builds a raw COPYDATASTRUCT frame: header word, a stated n, and `actual` body bytes.
struct raw_frame {
    std::vector<std::byte> data;
    COPYDATASTRUCT cds{};
    raw_frame(ULONG_PTR tag, std::uint32_t call_word, std::uint32_t method, std::uint32_t stated_n, std::size_t actual,
              std::size_t cb_override = SIZE_MAX)
    {
        data.resize(12 + actual, std::byte{0x5A});
        lurran::details::store_u32le(data.data(), call_word);
        lurran::details::store_u32le(data.data() + 4, method);
        lurran::details::store_u32le(data.data() + 8, stated_n);
        cds.dwData = tag;
        cds.cbData = static_cast<DWORD>(cb_override == SIZE_MAX ? data.size() : cb_override);
        cds.lpData = data.data();
    }
    std::int64_t lparam() { return reinterpret_cast<std::int64_t>(&cds); }
};

TEST(CopydataFrame, AcceptsOnlyFramesWhoseTagAndLengthMatch)
{
    struct row {
        const char* name;
        ULONG_PTR tag;
        std::uint32_t n;
        std::size_t actual;
        std::size_t cb;
        bool accepted;
    };
    const std::vector<row> rows = {
        {"cbData 11", copydata::frame_tag, 0, 0, 11, false},
        {"cbData 12, n 1", copydata::frame_tag, 1, 0, 12, false},
        {"cbData 12, n 0", copydata::frame_tag, 0, 0, 12, true},
        {"n 0xFFFFFFFF", copydata::frame_tag, 0xFFFFFFFF, 4, 16, false},
        {"n 0xFFFFFFFF, cbData 11", copydata::frame_tag, 0xFFFFFFFF, 0, 11, false},
        {"n one short", copydata::frame_tag, 3, 4, 16, false},
        {"n one long", copydata::frame_tag, 5, 4, 16, false},
        {"n 4", copydata::frame_tag, 4, 4, 16, true},
        {"whole command line", copydata::frame_tag, copydata::max_frame_body, copydata::max_frame_body,
         12 + copydata::max_frame_body, true},
        {"above a command line", copydata::frame_tag, copydata::max_frame_body + 2, copydata::max_frame_body + 2,
         14 + copydata::max_frame_body, false},
        {"tag above 32 bits", copydata::frame_tag | (ULONG_PTR(1) << 40), 0, 0, 12, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        copydata::inbox inbox;
        raw_frame f(r.tag, 0x40000005, 0x02D2E0D8, r.n, r.actual, r.cb);
        std::int64_t result = 7;
        EXPECT_EQ(copydata::accept_frame(inbox, f.lparam(), result), r.accepted);
        EXPECT_EQ(inbox.size(), r.accepted ? 1u : 0u);
        EXPECT_EQ(result, r.accepted ? 0 : 7);
    }
    // Each bit of the tag off, or one more on.
    for (int bit = 0; bit < 32; ++bit) {
        copydata::inbox inbox;
        raw_frame f(copydata::frame_tag ^ (ULONG_PTR(1) << bit), 0, 1, 0, 0);
        std::int64_t result = 0;
        EXPECT_FALSE(copydata::accept_frame(inbox, f.lparam(), result)) << bit;
        EXPECT_EQ(inbox.size(), 0u);
    }
    copydata::inbox inbox;
    std::int64_t result = 0;
    EXPECT_FALSE(copydata::accept_frame(inbox, 0, result));
}

TEST(CopydataFrame, CarriesTheHeaderWordAndACopyOfTheBody)
{
    copydata::inbox inbox;
    raw_frame f(copydata::frame_tag, 0x40000007, 0x02D2E0D8, 4, 4);
    std::int64_t result = 1;
    ASSERT_TRUE(copydata::accept_frame(inbox, f.lparam(), result));
    std::fill(f.data.begin(), f.data.end(), std::byte{0}); // the sender's buffer is gone after the send
    auto pop = [&]() -> tavik::details::future<message_t> { co_return co_await inbox.pop(); }();
    ASSERT_TRUE(wait_for(pop, 5000ms));
    message_t& m = pop.get();
    EXPECT_EQ(m.call_word(), 0x40000007u);
    EXPECT_EQ(m.method_id(), 0x02D2E0D8u);
    EXPECT_EQ(m.body, bytes(4, std::byte{0x5A}));

    message_t out(0x40000001, 0x02D2E0D8, bytes{std::byte{1}, std::byte{2}});
    const bytes frame = copydata::make_frame(out);
    EXPECT_EQ(frame, make_bytes({0x01, 0, 0, 0x40, 0xD8, 0xE0, 0xD2, 0x02, 2, 0, 0, 0, 1, 2}));
}

copydata::endpoints sending_to(HWND peer, std::chrono::milliseconds timeout = copydata::default_send_timeout)
{
    copydata::endpoints e;
    e.peer = peer;
    e.synchronous = true;
    e.send_timeout = timeout;
    return e;
}

TEST(CopydataTransport, ReadsFramesInTheOrderTheyArrived)
{
    receiving_window w;
    copydata::copydata_transport receiver(copydata::endpoints{nullptr, w.window(), false});
    w.attach(receiver.receiver());
    copydata::copydata_transport sender(sending_to(w.window()));
    for (std::uint32_t i = 0; i < 3; ++i) {
        auto f = sender.write(message_t(0x40000000 | i, 0x02D2E0D8, bytes(i, std::byte(i))));
        ASSERT_EQ(failure_of(f), S_OK);
    }
    EXPECT_EQ(w.handled(), 3);
    for (std::uint32_t i = 0; i < 3; ++i) {
        auto r = receiver.read();
        ASSERT_TRUE(wait_for(r, 5000ms));
        EXPECT_EQ(r.get().call_id(), i);
        EXPECT_EQ(r.get().body.size(), i);
    }
}

TEST(CopydataTransport, ACancelledReadEndsAndLaterFramesAreDroppedButAnswered)
{
    receiving_window w;
    tavik::details::cancellation_source parent;
    copydata::copydata_transport receiver(copydata::endpoints{nullptr, w.window(), false});
    receiver.link_cancellation(parent);
    w.attach(receiver.receiver());
    auto r = receiver.read();
    Sleep(50);
    EXPECT_FALSE(r.is_ready());
    parent.cancel();
    EXPECT_EQ(failure_of(r), HRESULT(0x800704C7));

    // The window still answers the frame 0, and it reaches nobody.
    raw_frame f(copydata::frame_tag, 0x40000000, 0x02D2E0D8, 0, 0);
    DWORD_PTR answer = 99;
    ASSERT_TRUE(SendMessageTimeoutW(w.window(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&f.cds), SMTO_NORMAL, 5000,
                                    &answer));
    EXPECT_EQ(answer, 0u);
    EXPECT_EQ(w.handled(), 1);
    EXPECT_EQ(receiver.receiver()->size(), 0u);
    auto again = receiver.read();
    EXPECT_EQ(failure_of(again), HRESULT(0x800704C7));
}

TEST(CopydataTransport, SendsThatCannotBeDeliveredFail)
{
    HWND gone;
    {
        receiving_window w;
        gone = w.window();
    }
    std::vector<HRESULT> reported;
    copydata::copydata_transport to_gone(sending_to(gone));
    to_gone.set_sent_hook([&reported](HRESULT hr) { reported.push_back(hr); });
    auto f = to_gone.write(message_t(0x40000000, 1, {}));
    EXPECT_EQ(failure_of(f), HRESULT(0x80070578)); // ERROR_INVALID_WINDOW_HANDLE, at once
    // Values that are no window at all, some of which a send would take for a broadcast to every
    // top-level window.
    for (HWND bogus : {HWND(-1), HWND(0xFFFF), reinterpret_cast<HWND>(0x12345678)}) {
        copydata::copydata_transport to_bogus(sending_to(bogus, 60000ms));
        const auto start = std::chrono::steady_clock::now();
        auto b = to_bogus.write(message_t(0x40000000, 1, {}));
        EXPECT_EQ(failure_of(b, 20000ms), HRESULT(0x80070578)) << bogus;
        EXPECT_LT(std::chrono::steady_clock::now() - start, 1000ms);
    }

    // A receiver that never pumps: the send gives up after its time-out and the frame is not
    // delivered later.
    receiving_window stuck(false);
    copydata::inbox inbox;
    stuck.attach(std::shared_ptr<copydata::inbox>(&inbox, [](copydata::inbox*) {}));
    copydata::copydata_transport to_stuck(sending_to(stuck.window(), 300ms));
    to_stuck.set_sent_hook([&reported](HRESULT hr) { reported.push_back(hr); });
    const auto start = std::chrono::steady_clock::now();
    auto g = to_stuck.write(message_t(0x40000000, 1, {}));
    EXPECT_EQ(failure_of(g), HRESULT(0x800705B4));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 250ms);
    EXPECT_EQ(reported, (std::vector<HRESULT>{HRESULT(0x80070578), HRESULT(0x800705B4)}));

    // Asynchronous sends of WM_COPYDATA are refused by the system, and the write says so.
    receiving_window w;
    copydata::endpoints async_ends = sending_to(w.window());
    async_ends.synchronous = false;
    copydata::copydata_transport async_sender(async_ends);
    auto h = async_sender.write(message_t(0x40000000, 1, {}));
    const HRESULT hr = failure_of(h);
    EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
    stuck.attach(nullptr);
}

// The sender's one forward: queue the message, wait until the writer has sent it (or failed),
// then shut down. Without the wait the shutdown can cancel the writer before it has taken the
// message, and the forward is lost while the sender carries on as if it had gone.
TEST(CopydataConnection, EveryForwardArrivesWhenTheSenderWaitsForItsFrame)
{
    receiving_window w;
    std::atomic<int> received{0};
    receiver_connection receiver;
    receiver.handler<forward_test::line>().assign([&received](std::wstring line) {
        if (line == L"plendor.exe --optimize C:\\f")
            ++received;
    });
    copydata::copydata_transport in(copydata::endpoints{nullptr, w.window(), false});
    w.attach(in.receiver());
    receiver.start(std::move(in));

    constexpr int rounds = 1000;
    for (int i = 0; i < rounds; ++i) {
        auto sent = std::make_shared<tavik::details::promise_type_<void>>();
        sender_connection sender;
        sender.close_handler().assign([sent](HRESULT) { tavik::details::complete_async(sent); });
        copydata::copydata_transport out(sending_to(w.window()));
        out.set_sent_hook([sent](HRESULT) { tavik::details::complete_async(sent); });
        sender.start(std::move(out));
        // A busy pool delays the writer's turn, which is when a hasty shutdown loses the frame.
        if (i % 4 == 0)
            for (int k = 0; k < 8; ++k)
                TrySubmitThreadpoolCallback([](PTP_CALLBACK_INSTANCE, void*) { Sleep(3); }, nullptr, nullptr);
        sender.proxy<forward_test::line>()(L"plendor.exe --optimize C:\\f");
        auto done = [](std::shared_ptr<tavik::details::promise_type_<void>> s) -> tavik::details::future<void> {
            co_await *s;
        }(sent);
        ASSERT_TRUE(wait_for(done, 10000ms)) << i;
        sender.shutdown();
    }
    // Handled on pool threads after the window queued them.
    for (int i = 0; i < 500 && received.load() < rounds; ++i)
        Sleep(10);
    EXPECT_EQ(received.load(), rounds);
    EXPECT_EQ(w.handled(), rounds);
    receiver.shutdown();
}

TEST(CopydataConnection, BadForwardsAreDroppedAndTheReaderGoesOn)
{
    receiving_window w;
    std::vector<std::wstring> lines;
    std::mutex lock;
    receiver_connection receiver;
    receiver.handler<forward_test::line>().assign([&](std::wstring line) {
        std::lock_guard guard(lock);
        lines.push_back(line);
    });
    copydata::copydata_transport in(copydata::endpoints{nullptr, w.window(), false});
    w.attach(in.receiver());
    receiver.start(std::move(in));

    auto send = [&](std::uint32_t call_word, std::uint32_t method, const bytes& body) {
        std::vector<std::byte> data(12 + body.size());
        lurran::details::store_u32le(data.data(), call_word);
        lurran::details::store_u32le(data.data() + 4, method);
        lurran::details::store_u32le(data.data() + 8, std::uint32_t(body.size()));
        std::copy(body.begin(), body.end(), data.begin() + 12);
        COPYDATASTRUCT cds{copydata::frame_tag, DWORD(data.size()), data.data()};
        DWORD_PTR answer = 0;
        SendMessageTimeoutW(w.window(), WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&cds), SMTO_NORMAL, 5000, &answer);
    };
    send(0x40000000, 0x02D2E0D8, make_bytes({9, 0, 0, 0, 'a', 0}));           // count past the body
    send(0x40000001, 0x12345678, make_bytes({1, 0, 0, 0, 'b', 0}));           // unknown method
    send(0x00000002, 0x02D2E0D8, make_bytes({1, 0, 0, 0, 'c', 0}));           // a request: no one-way
    send(0x80000003, 0x02D2E0D8, make_bytes({1, 0, 0, 0, 'd', 0}));           // a reply nobody waits for
    send(0x40000004, 0x02D2E0D8, make_bytes({0, 0, 0, 0}));                   // empty line
    send(0x40000005, 0x02D2E0D8, make_bytes({2, 0, 0, 0, 'o', 0, 'k', 0}));
    for (int i = 0; i < 500; ++i) {
        {
            std::lock_guard guard(lock);
            if (lines.size() >= 2)
                break;
        }
        Sleep(10);
    }
    std::lock_guard guard(lock);
    EXPECT_EQ(lines, (std::vector<std::wstring>{L"", L"ok"}));
}

} // namespace
