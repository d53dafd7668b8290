#include <dedup/engine/stream_reader.h>

#include "chunk_test_support.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <set>
#include <thread>

namespace {

using namespace dedup;
using namespace dedup::testing;
using namespace std::chrono_literals;

constexpr std::uint32_t piece = max_pending_length;

// ReadFile as the system does it, with every read recorded and a hook that runs before a chosen
// read (to change the file under the reader) or replaces it (to fail it, or to hold it back).
class watched_reads final : public file_io_calls {
public:
    struct read_call {
        std::uint64_t offset;
        DWORD length;
        const void* buffer;
    };

    BOOL read(HANDLE file, void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept override
    {
        std::uint64_t offset = std::uint64_t(overlapped->OffsetHigh) << 32 | overlapped->Offset;
        std::size_t n;
        {
            std::lock_guard guard(lock);
            n = reads.size();
            reads.push_back({offset, length, buffer});
        }
        if (before_read && n == hooked_read)
            before_read();
        if (replace_read && n == hooked_read)
            return replace_read(file, buffer, length, overlapped);
        return system_file_io_calls().read(file, buffer, length, overlapped);
    }
    BOOL write(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept override
    {
        return system_file_io_calls().write(file, buffer, length, overlapped);
    }

    std::vector<read_call> calls()
    {
        std::lock_guard guard(lock);
        return reads;
    }

    std::size_t hooked_read = ~std::size_t(0);
    std::function<void()> before_read;
    std::function<BOOL(HANDLE, void*, DWORD, OVERLAPPED*)> replace_read;

private:
    std::mutex lock;
    std::vector<read_call> reads;
};

BOOL fail_at_once(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// A file of the test's temporary folder, opened as the file ingestion opens what it reads.
struct stream_file {
    temp_folder folder;
    std::wstring path = folder / L"data.bin";
    HANDLE handle = INVALID_HANDLE_VALUE;

    explicit stream_file(const bytes& content)
    {
        write_file(path, content);
        handle = CreateFileW(path.c_str(), GENERIC_READ | READ_CONTROL,
                             FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED | FILE_FLAG_SEQUENTIAL_SCAN | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
        EXPECT_NE(handle, INVALID_HANDLE_VALUE);
    }
    ~stream_file() { CloseHandle(handle); }

    // A second handle through which the test changes the file while it is read.
    HANDLE open_for_writing() const
    {
        return CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
    }
};

struct read_result {
    std::vector<block_ref> refs;
    long error = 0;
};

read_result read_stream(stream_file& file, recording_sink& sink, watched_reads& calls, bool skip = false,
                        tavik::details::cancellation_source* cancel = nullptr)
{
    page_buffer_pool pool;
    stream_snapshot taken = take_stream_snapshot(file.handle);
    read_result result;
    result.error = hresult_of([&] {
        result.refs = run(read_stream_blocks({&pool, &sink, cancel, &calls}, file.handle, taken, skip));
    });
    // The carry and the read buffers (two when the stream needs more than one piece) go back to
    // the writer's pool, whatever happened.
    const std::size_t read_buffers = taken.size == 0 || skip ? 0 : taken.size >= max_pending_length ? 2 : 1;
    EXPECT_EQ(pool.size(), read_buffers == 0 ? 0u : 1u + read_buffers);
    return result;
}

// Reads of 256 KiB from offset 0, the last one shorter; two buffers that alternate; the chunks are
// the file's exact bytes and the references the sink's.
TEST(StreamReader, ReadsTheExactBytesInAlternatingPieces)
{
    for (std::size_t size : {std::size_t(1), std::size_t(100), std::size_t(piece - 1), std::size_t(piece),
                             std::size_t(piece + 1), std::size_t(2 * piece), std::size_t(2 * piece + 1),
                             std::size_t(5 * piece + 4097)}) {
        SCOPED_TRACE(size);
        bytes content = random_bytes(std::uint32_t(size), size);
        stream_file file(content);
        recording_sink sink;
        watched_reads calls;
        read_result r = read_stream(file, sink, calls);
        ASSERT_EQ(r.error, 0);

        EXPECT_EQ(sink.content, content);
        EXPECT_EQ(sink.folds, 1);
        ASSERT_EQ(r.refs.size(), sink.lengths.size());
        std::uint64_t offset = 0;
        for (std::size_t i = 0; i < r.refs.size(); ++i) {
            EXPECT_EQ(r.refs[i].offset, offset);
            offset += sink.lengths[i];
        }
        if (size == 100) {
            EXPECT_EQ(sink.lengths, std::vector<std::uint32_t>{100});
        }

        auto reads = calls.calls();
        ASSERT_EQ(reads.size(), (size + piece - 1) / piece);
        for (std::size_t i = 0; i < reads.size(); ++i) {
            EXPECT_EQ(reads[i].offset, i * std::uint64_t(piece));
            EXPECT_EQ(reads[i].length, std::min<std::uint64_t>(piece, size - i * std::uint64_t(piece)));
            if (i >= 1) {
                EXPECT_NE(reads[i].buffer, reads[i - 1].buffer) << "the read ahead goes to the other buffer";
            }
            if (i >= 2) {
                EXPECT_EQ(reads[i].buffer, reads[i - 2].buffer) << "two buffers, taking turns";
            }
        }
    }
}

// The read ahead completes on an I/O thread while the current piece is cut on another: repeated
// reads with a sink that continues on pool threads must still see the file's bytes in order.
TEST(StreamReader, ReadAheadAndCuttingOnDifferentThreadsKeepTheBytesInOrder)
{
    bytes content = random_bytes(77, 6 * piece + 333);
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        stream_file file(content);
        recording_sink sink;
        sink.hop_threads = true;
        watched_reads calls;
        read_result r = read_stream(file, sink, calls);
        ASSERT_EQ(r.error, 0);
        ASSERT_EQ(sink.content, content);
        ASSERT_EQ(r.refs.size(), sink.lengths.size());
    }
}

TEST(StreamReader, EmptyStreamsAndFoldersReadNothing)
{
    for (bool skip : {false, true}) {
        stream_file file(skip ? random_bytes(3, 5000) : bytes{});
        recording_sink sink;
        watched_reads calls;
        read_result r = read_stream(file, sink, calls, skip);
        EXPECT_EQ(r.error, 0);
        EXPECT_TRUE(r.refs.empty());
        EXPECT_TRUE(calls.calls().empty());
        EXPECT_TRUE(sink.lengths.empty());
        EXPECT_EQ(sink.folds, 0);
    }
}

// A zero-filled file cuts into equal 256 KiB chunks, whose key is one block.
TEST(StreamReader, AZeroFilledFileIsOneBlockRepeated)
{
    stream_file file(bytes(4 * piece + 100, std::byte{0}));
    recording_sink sink;
    watched_reads calls;
    read_result r = read_stream(file, sink, calls);
    ASSERT_EQ(r.error, 0);
    EXPECT_EQ(sink.lengths, (std::vector<std::uint32_t>{piece, piece, piece, piece, 100}));
    std::set<std::pair<std::uint64_t, std::uint64_t>> keys;
    for (std::size_t i = 0; i < 4; ++i)
        keys.insert({r.refs[i].key.low, r.refs[i].key.high});
    EXPECT_EQ(keys.size(), 1u);
}

TEST(StreamReader, AFailedReadFailsTheStream)
{
    for (std::size_t failing : {std::size_t(0), std::size_t(1), std::size_t(3)}) {
        SCOPED_TRACE(failing);
        stream_file file(random_bytes(9, 4 * piece + 10));
        recording_sink sink;
        watched_reads calls;
        calls.hooked_read = failing;
        calls.replace_read = [](HANDLE, void*, DWORD, OVERLAPPED*) { return fail_at_once(ERROR_CRC); };
        read_result r = read_stream(file, sink, calls);
        EXPECT_EQ(r.error, tavik::details::hresult_from_win32(ERROR_CRC));
        EXPECT_EQ(sink.folds, 0);
        EXPECT_LE(sink.content.size(), failing * piece) << "nothing of the failed piece is handed on";
    }
}

// When the stream fails while the read ahead is still in flight, the reader waits for that read
// before it frees its buffer: here the read ahead reaches the system only 300 ms late.
TEST(StreamReader, AFailureWaitsForTheReadAheadBeforeItsBufferGoes)
{
    stream_file file(random_bytes(10, 3 * piece));
    recording_sink sink;
    watched_reads calls;
    std::atomic<bool> late_read_issued{false};
    std::thread late;
    calls.hooked_read = 1;
    calls.replace_read = [&](HANDLE handle, void* buffer, DWORD length, OVERLAPPED* overlapped) {
        late = std::thread([&, handle, buffer, length, overlapped] {
            std::this_thread::sleep_for(300ms);
            late_read_issued = true;
            // Wine never completes a file read at once, so its completion reaches the reader.
            system_file_io_calls().read(handle, buffer, length, overlapped);
        });
        return fail_at_once(ERROR_IO_PENDING);
    };
    sink.fail_at = 0;  // the first piece's first chunk fails the stream
    read_result r = read_stream(file, sink, calls);
    EXPECT_EQ(r.error, static_cast<long>(0x887A0035));
    EXPECT_TRUE(late_read_issued) << "the reader ended before its read ahead";
    late.join();
}

// Cancellation is looked at before each piece is cut: the pieces after it are neither cut nor
// folded, and the reads in flight end before the reader does.
TEST(StreamReader, CancellationEndsTheReadBeforeTheNextPiece)
{
    stream_file file(random_bytes(12, 6 * piece));
    recording_sink sink;
    watched_reads calls;
    tavik::details::cancellation_source cancel;
    sink.cancel = &cancel;
    sink.cancel_at = 3;
    read_result r = read_stream(file, sink, calls, false, &cancel);
    EXPECT_EQ(r.error, tavik::details::cancelled_hresult);
    EXPECT_EQ(sink.folds, 0);
    EXPECT_LT(sink.content.size(), std::size_t(piece)) << "only the first piece was cut";
    EXPECT_LE(calls.calls().size(), 3u);

    stream_file other(random_bytes(12, 2 * piece));
    recording_sink untouched;
    watched_reads more_calls;
    r = read_stream(other, untouched, more_calls, false, &cancel);
    EXPECT_EQ(r.error, tavik::details::cancelled_hresult) << "an operation already cancelled reads nothing on";
    EXPECT_TRUE(untouched.lengths.empty());
}

// A file written while it is read is not passed on: neither with the bytes it lost when it shrank,
// nor with a mix of old and new data.
TEST(StreamReader, AFileChangedWhileReadFailsTheStream)
{
    struct change {
        const char* what;
        bool shrinks;
        std::function<void(HANDLE)> apply;
    };
    const change changes[] = {
        {"shrank inside the next piece", true,
         [](HANDLE h) {
             LARGE_INTEGER at{};
             at.QuadPart = piece + 5000;
             SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
             SetEndOfFile(h);
         }},
        {"shrank before the next piece", true,
         [](HANDLE h) {
             LARGE_INTEGER at{};
             at.QuadPart = 1000;
             SetFilePointerEx(h, at, nullptr, FILE_BEGIN);
             SetEndOfFile(h);
         }},
        {"grew", false,
         [](HANDLE h) {
             LARGE_INTEGER end{};
             SetFilePointerEx(h, end, nullptr, FILE_END);
             DWORD written = 0;
             WriteFile(h, "more", 4, &written, nullptr);
         }},
        {"was overwritten in place", false,
         [](HANDLE h) {
             DWORD written = 0;
             WriteFile(h, "new!", 4, &written, nullptr);
             // The write time as the writer's close would leave it, whatever the clock's step.
             FILE_BASIC_INFO basic{};
             GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic);
             basic.LastWriteTime.QuadPart += 10'000'000;
             SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
         }},
    };
    for (const change& c : changes) {
        SCOPED_TRACE(c.what);
        stream_file file(random_bytes(13, 3 * piece));
        recording_sink sink;
        watched_reads calls;
        calls.hooked_read = 1;  // as the second piece is read
        calls.before_read = [&] {
            HANDLE writer = file.open_for_writing();
            ASSERT_NE(writer, INVALID_HANDLE_VALUE);
            c.apply(writer);
            CloseHandle(writer);
        };
        read_result r = read_stream(file, sink, calls);
        EXPECT_EQ(r.error, file_changed_while_read);
        EXPECT_EQ(sink.folds, 0);
        EXPECT_TRUE(r.refs.empty());
        if (c.shrinks) {
            EXPECT_LE(sink.content.size(), std::size_t(piece)) << "no byte of a shortened piece is handed on";
        }
    }
}

TEST(StreamReader, ASnapshotIsTheFileSizeAndTimes)
{
    stream_file file(random_bytes(14, 12345));
    stream_snapshot s = take_stream_snapshot(file.handle);
    EXPECT_EQ(s.size, 12345u);
    FILE_BASIC_INFO basic{};
    ASSERT_TRUE(GetFileInformationByHandleEx(file.handle, FileBasicInfo, &basic, sizeof basic));
    EXPECT_EQ(s.last_write_time, basic.LastWriteTime.QuadPart);
    EXPECT_EQ(s.change_time, basic.ChangeTime.QuadPart);
    EXPECT_NE(hresult_of([] { take_stream_snapshot(nullptr); }), 0);
}

} // namespace
