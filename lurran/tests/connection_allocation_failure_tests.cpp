// Connections when memory runs out: while they start, and in the reader loop.
#include "test_support.h"

#include <testing/support/failing_allocator.h>

#include <optional>

namespace lurran_test {
namespace {

using namespace tavik::details;
using namespace lurran::details;

const HRESULT cancelled = static_cast<HRESULT>(0x800704C7);
const HRESULT out_of_memory = static_cast<HRESULT>(0x8007000E);

// Every allocation the start makes on its caller's thread fails in turn (the loops' frames among
// them; the reader already runs when the writer's frame is made). A start that throws must leave
// no loop running, since neither the shutdown nor the destructor of a connection that is not live
// joins one: the connection has ended as a failing loop ends it, with the close handler told why,
// the transport closed and the calls failed. A failure inside a loop ends it the usual way.
TEST(ConnectionAllocationFailure, AFailedStartLeavesNoLoopRunning)
{
    int failed_starts = 0;
    for (int n = 0;; ++n) {
        ASSERT_LT(n, 1000) << "the start never got through";
        SCOPED_TRACE(n);
        close_record closed;
        auto conn = std::make_unique<client_connection>();
        install_close_record(conn->close_handler(), closed);
        auto early = conn->proxy<test_service::ping>()(7);
        auto pair = accept_raw_client(unique_pipe_name(L"oom"));
        bool threw = false;
        bool fired = false;
        {
            test_support::allocation_failure failing(n);
            try {
                conn->start(std::move(pair.server));
            } catch (const std::bad_alloc&) {
                threw = true;
            }
            fired = failing.fired();
        }

        if (!fired) {
            // Every allocation got through: the connection works.
            ASSERT_TRUE(conn->is_live());
            auto request = pair.client.read_frame();
            ASSERT_TRUE(request);
            bytes answer(4);
            store_u32le(answer.data(), 8);
            ASSERT_TRUE(pair.client.write_frame(0x80000000 | request->call_word, request->method_id, answer));
            ASSERT_TRUE(wait_for(early, 5000ms));
            EXPECT_EQ(early.get(), 8u);
            break;
        }

        ASSERT_TRUE(closed.wait()) << (threw ? "failed start" : "failed loop");
        EXPECT_EQ(closed.hr, out_of_memory) << std::hex << closed.hr.load();
        if (threw) {
            ++failed_starts;
            EXPECT_FALSE(conn->is_live());
            EXPECT_EQ(failure_of(early, 1000ms), cancelled);
            EXPECT_FALSE(pair.client.silent_for(5000ms)) << "the transport is still open";
        }
        conn.reset();
        EXPECT_EQ(closed.count, 1);
    }
    // At least the reader's frame and the writer's.
    EXPECT_GE(failed_starts, 2);
}

// The reader loop runs out of memory on its pool thread: a failure that is no traceable_error
// must end the connection all the same: the close handler is told E_OUTOFMEMORY, and the call
// still waiting fails with the shutdown. A one-way handler runs on the reader's thread, to its end, before the
// reader goes on: it arms the failure of that thread's next allocation, which the reader's next
// read makes.
TEST(ConnectionAllocationFailure, OutOfMemoryInTheReaderEndsTheConnection)
{
    auto pair = accept_raw_client(unique_pipe_name(L"oom-reader"));
    close_record closed;
    client_connection conn;
    std::optional<test_support::allocation_failure> failing;
    std::atomic<DWORD> reader_thread{0};
    conn.handler<test_callback::progress>().assign(
        [&failing, &reader_thread](std::uint64_t, std::wstring, std::uint64_t, std::uint64_t) {
            reader_thread = GetCurrentThreadId();
            failing.emplace(0);
        });
    install_close_record(conn.close_handler(), closed);
    conn.start(std::move(pair.server));
    auto unanswered = conn.proxy<test_service::ping>()(7);
    ASSERT_TRUE(pair.client.read_frame()) << "the call was not sent";

    bytes progress;
    encode_values(progress, std::uint64_t(1), std::wstring(L"stage"), std::uint64_t(1), std::uint64_t(2));
    ASSERT_TRUE(pair.client.write_frame(0x40000000, test_callback::progress::id, progress));
    ASSERT_TRUE(closed.wait()) << "the reader failed and nobody was told";
    ASSERT_TRUE(failing);
    EXPECT_TRUE(failing->fired());
    EXPECT_NE(reader_thread.load(), GetCurrentThreadId());
    EXPECT_EQ(closed.hr, out_of_memory) << std::hex << closed.hr.load();
    // As after any end of a loop, the owner's shutdown fails the call still waiting.
    conn.shutdown();
    EXPECT_EQ(failure_of(unanswered), cancelled);
    EXPECT_FALSE(pair.client.silent_for(5000ms)) << "the transport is still open";
    EXPECT_EQ(closed.count, 1);
}

} // namespace
} // namespace lurran_test
