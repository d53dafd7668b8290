#include <tavik/io/io_join.h>
#include <tavik/io/overlapped_io.h>
#include <tavik/io/page_buffer.h>

#include <testing/support/failing_allocator.h>
#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <tavik/error.h>
#include <tavik/future.h>
#include <tavik/shared_future.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string>
#include <utility>
#include <vector>

using tavik::io::io_join;
using tavik::io::overlapped_file;
using tavik::io::page_buffer;
using test_support::run;
using test_support::temp_folder;
using tavik::details::future;
using tavik::details::traceable_error;

namespace {

HANDLE open_overlapped(const std::wstring& path, DWORD disposition)
{
    return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, disposition,
                       FILE_FLAG_OVERLAPPED, nullptr);
}

// Answers an operation at a chosen position at once with a chosen error, as the platform does for
// an end of file it detects before queuing the read, or a full disk; everything else goes to the
// system. Counts the thread-pool notifications started and cancelled, and can refuse skip-on-success.
class injected_calls final : public tavik::io::file_io_calls {
public:
    static constexpr std::uint64_t nowhere = ~std::uint64_t(0);

    injected_calls(std::uint64_t position = nowhere, DWORD error = 0) : position_(position), error_(error) {}

    BOOL set_completion_modes(HANDLE file, UCHAR flags) noexcept override
    {
        if (refuse_skip_mode) {
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        return tavik::io::file_io_calls::set_completion_modes(file, flags);
    }
    void start_io(PTP_IO io) noexcept override
    {
        ++started;
        tavik::io::file_io_calls::start_io(io);
    }
    void cancel_io(PTP_IO io) noexcept override
    {
        ++cancelled;
        tavik::io::file_io_calls::cancel_io(io);
    }

    BOOL read(HANDLE file, void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept override
    {
        if (hits(overlapped))
            return fail();
        return tavik::io::system_file_io_calls().read(file, buffer, length, overlapped);
    }
    BOOL write(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept override
    {
        if (hits(overlapped))
            return fail();
        return tavik::io::system_file_io_calls().write(file, buffer, length, overlapped);
    }

    int injected = 0;
    std::atomic<int> started{0}, cancelled{0};
    bool refuse_skip_mode = false;

private:
    bool hits(const OVERLAPPED* o) const
    {
        return (std::uint64_t(o->OffsetHigh) << 32 | o->Offset) == position_;
    }
    BOOL fail()
    {
        ++injected;
        SetLastError(error_);
        return FALSE;
    }

    std::uint64_t position_;
    DWORD error_;
};

future<std::uint32_t> write_at(const overlapped_file& file, std::uint64_t position, std::string data)
{
    co_return co_await file.write(position, data.data(), std::uint32_t(data.size()));
}

future<std::string> read_at(const overlapped_file& file, std::uint64_t position, std::uint32_t length)
{
    std::string data(length, '\0');
    std::uint32_t n = co_await file.read(position, data.data(), length);
    data.resize(n);
    co_return data;
}

HRESULT error_of(auto&& body)
{
    try {
        body();
    } catch (const traceable_error& e) {
        return e.code();
    }
    return S_OK;
}

// Two connected ends of a byte-mode pipe, both overlapped and bound. Pipe reads of data that is
// already there complete at once, also under Wine, so they exercise the synchronous path.
struct pipe_pair {
    overlapped_file server, client;

    explicit pipe_pair(tavik::io::file_io_calls& server_calls = tavik::io::system_file_io_calls())
    {
        static LONG counter = 0;
        std::wstring name = L"\\\\.\\pipe\\fileio-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(InterlockedIncrement(&counter));
        HANDLE s = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                    PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 65536, 65536, 0, nullptr);
        HANDLE c = CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
        OVERLAPPED o{};
        o.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        if (!ConnectNamedPipe(s, &o) && GetLastError() == ERROR_IO_PENDING)
            WaitForSingleObject(o.hEvent, 5000);
        CloseHandle(o.hEvent);
        server = overlapped_file(s, server_calls);
        client = overlapped_file(c);
    }
};

} // namespace

TEST(OverlappedIo, WritesAndReadsAtTheirPositionsIncludingBeyondFourGibibytes)
{
    temp_folder folder;
    overlapped_file file(open_overlapped((folder / L"data"), CREATE_ALWAYS));
    ASSERT_TRUE(file);

    const std::uint64_t high_position = 0x1'0000'0010ull; // needs OffsetHigh
    EXPECT_EQ(run(write_at(file, 0, "hello, world")), 12u);
    EXPECT_EQ(run(write_at(file, high_position, "tail")), 4u);

    EXPECT_EQ(run(read_at(file, 7, 5)), "world");
    EXPECT_EQ(run(read_at(file, high_position, 4)), "tail");
    LARGE_INTEGER size{};
    ASSERT_TRUE(GetFileSizeEx(file.handle(), &size));
    EXPECT_EQ(std::uint64_t(size.QuadPart), high_position + 4);
}

// The end of the file is a success with fewer bytes, both when the system reports it on
// completion (always, under Wine) and when it reports it at once (injected here).
TEST(OverlappedIo, EndOfFileIsSuccessWithTheBytesTransferred)
{
    temp_folder folder;
    {
        overlapped_file file(open_overlapped((folder / L"eof"), CREATE_ALWAYS));
        ASSERT_EQ(run(write_at(file, 0, "0123456789")), 10u);
        EXPECT_EQ(run(read_at(file, 6, 100)), "6789");
        EXPECT_EQ(run(read_at(file, 10, 100)), "");
        EXPECT_EQ(run(read_at(file, 5000, 100)), "");
    }

    injected_calls eof_at_once(10, ERROR_HANDLE_EOF);
    overlapped_file file(open_overlapped((folder / L"eof"), OPEN_EXISTING), eof_at_once);
    EXPECT_EQ(run(read_at(file, 10, 100)), "");
    EXPECT_EQ(eof_at_once.injected, 1);
    // The thread-pool I/O started for the failed call was cancelled: the object still works.
    EXPECT_EQ(run(read_at(file, 0, 4)), "0123");
}

TEST(OverlappedIo, FailuresRaiseTheSystemErrorWhetherAtOnceOrOnCompletion)
{
    temp_folder folder;
    injected_calls disk_full(4096, ERROR_DISK_FULL);
    overlapped_file file(open_overlapped((folder / L"full"), CREATE_ALWAYS), disk_full);
    EXPECT_EQ(error_of([&] { run(write_at(file, 4096, "x")); }), HRESULT(0x80070070));
    EXPECT_EQ(run(write_at(file, 0, "ok")), 2u);

    // A failure the system reports at once (a read on a handle opened for writing only).
    overlapped_file write_only(CreateFileW((folder / L"wo").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_FLAG_OVERLAPPED, nullptr));
    EXPECT_EQ(error_of([&] { run(read_at(write_only, 0, 4)); }), HRESULT(0x80070005));

    // A failure on completion: the writing end goes away while a read is pending.
    pipe_pair pipe;
    auto pending = read_at(pipe.server, 0, 16);
    EXPECT_FALSE(pending.is_ready());
    pipe.client.close();
    EXPECT_EQ(error_of([&] { run(std::move(pending)); }), HRESULT(0x8007006D)); // ERROR_BROKEN_PIPE
}

namespace {

struct sync_probe {
    std::uint32_t bytes;
    bool same_thread;
};

future<sync_probe> read_and_note_thread(const overlapped_file& file, char* buffer, std::uint32_t length)
{
    DWORD before = GetCurrentThreadId();
    std::uint32_t n = co_await file.read(0, buffer, length);
    co_return sync_probe{n, GetCurrentThreadId() == before};
}

} // namespace

// Data already in the pipe: the read completes at once, the coroutine goes on without suspending
// and no completion callback follows (a stray one would resume a finished coroutine).
TEST(OverlappedIo, SynchronousCompletionContinuesOnTheCallingThread)
{
    pipe_pair pipe;
    char buffer[64];
    for (int i = 0; i < 300; ++i) {
        std::string message = "message " + std::to_string(i);
        ASSERT_EQ(run(write_at(pipe.client, 0, message)), message.size());
        auto f = read_and_note_thread(pipe.server, buffer, sizeof buffer);
        ASSERT_TRUE(f.is_ready()) << i;
        sync_probe probe = run(std::move(f));
        ASSERT_EQ(probe.bytes, message.size());
        ASSERT_TRUE(probe.same_thread);
        ASSERT_EQ(std::string(buffer, probe.bytes), message);
    }
    // After all those cancelled starts the I/O object still delivers completions.
    auto pending = read_and_note_thread(pipe.server, buffer, sizeof buffer);
    EXPECT_FALSE(pending.is_ready());
    ASSERT_EQ(run(write_at(pipe.client, 0, "late")), 4u);
    sync_probe probe = run(std::move(pending));
    EXPECT_EQ(probe.bytes, 4u);
    EXPECT_FALSE(probe.same_thread);
}

TEST(OverlappedIo, AsynchronousCompletionResumesOnAPoolThread)
{
    temp_folder folder;
    overlapped_file file(open_overlapped((folder / L"async"), CREATE_ALWAYS));
    page_buffer buffer;
    buffer.reserve(1 << 20);
    for (std::uint32_t i = 0; i < buffer.capacity; ++i)
        buffer.data[i] = std::byte(i % 251);
    auto body = [](const overlapped_file& f, page_buffer& b) -> future<sync_probe> {
        DWORD before = GetCurrentThreadId();
        std::uint32_t written = co_await f.write(0, b.data, b.capacity);
        std::memset(b.data, 0, b.capacity);
        std::uint32_t read = co_await f.read(0, b.data, b.capacity);
        co_return sync_probe{written == read ? read : 0, GetCurrentThreadId() == before};
    };
    sync_probe probe = run(body(file, buffer));
    EXPECT_EQ(probe.bytes, buffer.capacity);
    for (std::uint32_t i = 0; i < buffer.capacity; ++i)
        ASSERT_EQ(buffer.data[i], std::byte(i % 251)) << i;
}

TEST(OverlappedIo, BindingAHandleThatCannotBeBoundRaises)
{
    temp_folder folder;
    // The handle is closed by the failed constructor; binding an already closed value must raise.
    HANDLE h = open_overlapped((folder / L"closed"), CREATE_ALWAYS);
    CloseHandle(h);
    EXPECT_NE(error_of([&] { overlapped_file f(h); }), S_OK);

    // A file that is not bound fails the operation instead of starting I/O on nothing.
    overlapped_file unbound;
    EXPECT_EQ(error_of([&] { run(read_at(unbound, 0, 4)); }), HRESULT(0x80070006));
}

// Without skip-on-success every answer given at once would also be completed on the pool and
// resume a coroutine that has moved on, so a handle that refuses the mode is not used at all.
TEST(OverlappedIo, AHandleThatRefusesSkipOnSuccessIsClosedAndRaises)
{
    temp_folder folder;
    injected_calls refusing;
    refusing.refuse_skip_mode = true;
    EXPECT_EQ(error_of([&] { overlapped_file f(open_overlapped((folder / L"refused"), CREATE_ALWAYS), refusing); }),
              HRESULT(0x80070057));
    // The handle was closed: nobody holds the file open any more.
    HANDLE again = CreateFileW((folder / L"refused").c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

// Every operation starts one thread-pool notification; each one that the system answers at once
// (success, end of file or failure) cancels it, since no completion follows; a pending one leaves it
// to its completion.
TEST(OverlappedIo, EveryAnswerGivenAtOnceCancelsItsNotificationAndOnlyThose)
{
    temp_folder folder;
    {
        overlapped_file plain(open_overlapped((folder / L"data"), CREATE_ALWAYS));
        ASSERT_EQ(run(write_at(plain, 0, "0123456789")), 10u);
    }
    struct outcome {
        int started, cancelled;
    };
    auto counted = [](injected_calls& calls, auto&& body) {
        int s = calls.started, c = calls.cancelled;
        body();
        return outcome{calls.started - s, calls.cancelled - c};
    };

    injected_calls eof_at_once(10, ERROR_HANDLE_EOF), full_at_once(4096, ERROR_DISK_FULL), counting;
    overlapped_file eof_file(open_overlapped((folder / L"data"), OPEN_EXISTING), eof_at_once);
    overlapped_file full_file(open_overlapped((folder / L"full"), CREATE_ALWAYS), full_at_once);
    overlapped_file write_only(CreateFileW((folder / L"wo").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                           FILE_FLAG_OVERLAPPED, nullptr),
                               counting);
    pipe_pair pipe(counting);
    char buffer[16];

    outcome eof = counted(eof_at_once, [&] { EXPECT_EQ(run(read_at(eof_file, 10, 4)), ""); });
    outcome full = counted(full_at_once, [&] { EXPECT_NE(error_of([&] { run(write_at(full_file, 4096, "x")); }), S_OK); });
    outcome refused = counted(counting, [&] { EXPECT_NE(error_of([&] { run(read_at(write_only, 0, 4)); }), S_OK); });
    ASSERT_EQ(run(write_at(pipe.client, 0, "data")), 4u);
    outcome at_once = counted(counting, [&] {
        auto f = read_and_note_thread(pipe.server, buffer, sizeof buffer);
        EXPECT_TRUE(f.is_ready());
        EXPECT_EQ(run(std::move(f)).bytes, 4u);
    });
    outcome pending = counted(counting, [&] {
        auto f = read_and_note_thread(pipe.server, buffer, sizeof buffer);
        EXPECT_FALSE(f.is_ready());
        EXPECT_EQ(run(write_at(pipe.client, 0, "late")), 4u);
        EXPECT_EQ(run(std::move(f)).bytes, 4u);
    });

    EXPECT_EQ(eof.started, 1);
    EXPECT_EQ(eof.cancelled, 1);
    EXPECT_EQ(full.started, 1);
    EXPECT_EQ(full.cancelled, 1);
    EXPECT_EQ(refused.started, 1);
    EXPECT_EQ(refused.cancelled, 1);
    EXPECT_EQ(at_once.started, 1);
    EXPECT_EQ(at_once.cancelled, 1);
    EXPECT_EQ(pending.started, 1);
    EXPECT_EQ(pending.cancelled, 0);
}

namespace {

struct join_outcome {
    HRESULT error = S_OK;
    std::uint32_t first = 0, second = 0;
};

future<join_outcome> join_two_writes(const overlapped_file& a, const overlapped_file& b)
{
    join_outcome out;
    io_join join;
    auto header = a.write(0, "header", 6);
    auto records = b.write(6, "records!", 8);
    join.start(header, out.first);
    join.start(records, out.second);
    try {
        co_await join;
    } catch (const traceable_error& e) {
        out.error = e.code();
    }
    co_return out;
}

future<int> join_many(std::initializer_list<bool> fail)
{
    // Children that are already complete when the join is awaited, mixed with ones that suspend.
    int ok = 0;
    auto child = [](bool f) -> future<int> {
        co_await tavik::details::resume_on_thread_pool();
        if (f)
            tavik::details::throw_win32_error(ERROR_WRITE_FAULT);
        co_return 1;
    };
    io_join join;
    std::vector<int> slots(fail.size());
    std::size_t i = 0;
    for (bool f : fail)
        join.start(child(f), slots[i++]);
    co_await join;
    for (int s : slots)
        ok += s;
    co_return ok;
}

// A child fails at once while its sibling is still waiting for data in a pipe.
future<join_outcome> join_failure_with_slow_sibling(const overlapped_file& slow_end, const overlapped_file& failing,
                                                    char* buffer)
{
    join_outcome out;
    io_join join;
    auto slow = slow_end.read(0, buffer, 4);
    auto fails = failing.write(6, "x", 1);
    join.start(slow, out.first);
    join.start(fails, out.second);
    try {
        co_await join;
    } catch (const traceable_error& e) {
        out.error = e.code();
    }
    co_return out;
}

// The second child cannot even be made: there is no memory for its frame.
future<join_outcome> join_with_unstartable_child(const overlapped_file& slow_end, char* buffer)
{
    join_outcome out;
    io_join join;
    auto slow = slow_end.read(0, buffer, 4);
    join.start(slow, out.first);
    {
        test_support::allocation_failure next_allocation(0);
        join.start(std::suspend_never{});
    }
    try {
        co_await join;
    } catch (const std::bad_alloc&) {
        out.error = E_OUTOFMEMORY;
    }
    co_return out;
}

// The pending tasks of block files are shared futures, awaited by a join as a group.
future<void> join_shared(std::vector<std::shared_ptr<tavik::details::shared_future_impl<void>>>& tasks)
{
    io_join join;
    for (auto& task : tasks)
        join.start(task);
    co_await join;
}

} // namespace

TEST(IoJoin, WaitsForEveryChildAndRaisesTheFailure)
{
    temp_folder folder;
    {
        overlapped_file a(open_overlapped((folder / L"a"), CREATE_ALWAYS));
        overlapped_file b(open_overlapped((folder / L"b"), CREATE_ALWAYS));
        join_outcome out = run(join_two_writes(a, b));
        EXPECT_EQ(out.error, S_OK);
        EXPECT_EQ(out.first, 6u);
        EXPECT_EQ(out.second, 8u);
    }
    {
        injected_calls full(6, ERROR_DISK_FULL);
        overlapped_file a(open_overlapped((folder / L"a"), CREATE_ALWAYS));
        overlapped_file b(open_overlapped((folder / L"b"), CREATE_ALWAYS), full);
        join_outcome out = run(join_two_writes(a, b));
        EXPECT_EQ(out.error, HRESULT(0x80070070));
        EXPECT_EQ(out.first, 6u); // the other member ran to its end
        EXPECT_EQ(out.second, 0u);
    }
    EXPECT_EQ(run(join_many({false, false, false, false})), 4);
    {
        auto task = [](bool fail) -> future<void> {
            co_await tavik::details::resume_on_thread_pool();
            if (fail)
                tavik::details::throw_win32_error(ERROR_CRC);
        };
        std::vector<std::shared_ptr<tavik::details::shared_future_impl<void>>> tasks;
        for (bool fail : {false, true, false})
            tasks.push_back(tavik::details::make_shared_future(task(fail)));
        EXPECT_EQ(error_of([&] { run(join_shared(tasks)); }), HRESULT(0x80070017));
    }
    for (int round = 0; round < 50; ++round)
        EXPECT_EQ(error_of([] { run(join_many({false, true, false, true, false})); }), HRESULT(0x8007001D));
}

// The failure is raised only once every child has ended: the awaiting coroutine owns the
// operations and the join, and must not free them under a child that is still pending.
TEST(IoJoin, RaisesAFailureOnlyAfterTheSlowestChildHasEnded)
{
    temp_folder folder;
    injected_calls full(6, ERROR_DISK_FULL);
    overlapped_file failing(open_overlapped((folder / L"full"), CREATE_ALWAYS), full);
    char buffer[4];
    {
        pipe_pair pipe;
        auto joined = join_failure_with_slow_sibling(pipe.server, failing, buffer);
        EXPECT_EQ(full.injected, 1);
        EXPECT_FALSE(joined.is_ready());
        ASSERT_EQ(run(write_at(pipe.client, 0, "ping")), 4u);
        join_outcome out = run(std::move(joined));
        EXPECT_EQ(out.error, HRESULT(0x80070070));
        EXPECT_EQ(out.first, 4u);
        EXPECT_EQ(std::string(buffer, 4), "ping");
    }
    {
        pipe_pair pipe;
        auto joined = join_with_unstartable_child(pipe.server, buffer);
        EXPECT_FALSE(joined.is_ready());
        ASSERT_EQ(run(write_at(pipe.client, 0, "pong")), 4u);
        join_outcome out = run(std::move(joined));
        EXPECT_EQ(out.error, E_OUTOFMEMORY);
        EXPECT_EQ(out.first, 4u);
    }
}
