#include <dedup/engine/stream_reader.h>

#include <tavik/error.h>

#include <algorithm>
#include <exception>
#include <utility>

namespace dedup {

namespace {

using tavik::details::future;

constexpr std::uint32_t piece_length = max_pending_length;

// One overlapped read of the stream; the value is the number of bytes read. Its own coroutine, so
// that the read ahead runs while the reader cuts the current piece, and so that the reader can
// still await it after its operation was cancelled: this frame is never bound to a token.
future<std::uint32_t> read_piece(const overlapped_file& file, std::uint64_t offset, std::byte* buffer,
                                 std::uint32_t length)
{
    co_return co_await file.read(offset, buffer, length);
}

// The caller keeps its handle and closes it; the reader binds and closes a duplicate of its own.
// Both refer to the same open file, so the duplicate reads what the caller opened.
overlapped_file bind_duplicate(HANDLE file, file_io_calls& calls)
{
    HANDLE process = GetCurrentProcess();
    HANDLE copy = nullptr;
    if (!DuplicateHandle(process, file, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
        tavik::details::throw_last_error();
    return overlapped_file(copy, calls);
}

} // namespace

stream_snapshot take_stream_snapshot(HANDLE file)
{
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(file, &size))
        tavik::details::throw_last_error();
    FILE_BASIC_INFO basic{};
    if (!GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic))
        tavik::details::throw_last_error();
    return {std::uint64_t(size.QuadPart), basic.LastWriteTime.QuadPart, basic.ChangeTime.QuadPart};
}

future<std::vector<block_ref>> read_stream_blocks(stream_read_context context, HANDLE file, stream_snapshot taken,
                                                  bool skip)
{
    const std::uint64_t size = taken.size;
    if (size == 0 || skip)
        co_return std::vector<block_ref>{};

    gear_chunker chunker(*context.pool, *context.sink);

    // Buffer 1 exists only when the stream needs more than one piece. Both come from the
    // operation's pool and go back to it when the coroutine ends, after every read into them has
    // completed (below): a fresh allocation per file would map and fault new pages for each.
    struct pooled_buffers {
        page_buffer_pool& pool;
        page_buffer items[2];
        ~pooled_buffers()
        {
            for (page_buffer& buffer : items)
                if (buffer.data)
                    pool.give(std::move(buffer));
        }
    };
    // Only buffers of about a piece: the pool also holds the writer's block-file buffers.
    constexpr std::uint64_t most = 4 * piece_length;
    pooled_buffers pooled{*context.pool, {context.pool->take_fitting(1, most),
                                          size >= piece_length ? context.pool->take_fitting(1, most) : page_buffer()}};
    page_buffer (&buffers)[2] = pooled.items;
    buffers[0].used = buffers[1].used = 0;
    const auto first_length = std::uint32_t(std::min<std::uint64_t>(size, piece_length));
    if (buffers[0].capacity < first_length)
        buffers[0].reserve(first_length);
    if (size >= piece_length && buffers[1].capacity < piece_length)
        buffers[1].reserve(piece_length);

    overlapped_file bound = bind_duplicate(file, *context.calls);

    unsigned index = 0;
    std::uint64_t position = 0;
    std::uint32_t length = std::uint32_t(std::min<std::uint64_t>(size, piece_length));
    future<std::uint32_t> current = read_piece(bound, 0, buffers[0].data, length);
    future<std::uint32_t> next;

    // A failure can leave up to two reads in flight into the buffers (the current one when the
    // operation was cancelled before it was awaited, and the one ahead): they are awaited before
    // the buffers and the bound file go. A handler cannot co_await, hence the slot.
    std::exception_ptr failure;
    try {
        while (length != 0) {
            std::uint64_t next_position = position + length;
            std::uint32_t next_length = std::uint32_t(std::min<std::uint64_t>(piece_length, size - next_position));
            if (next_length != 0)
                next = read_piece(bound, next_position, buffers[1 - index].data, next_length);

            if (context.cancel && context.cancel->is_cancelled())
                tavik::details::throw_operation_cancelled();
            std::uint32_t n = co_await current;
            current.reset();
            // A short read means the file shrank: its remaining bytes would be missing from the
            // stored data.
            if (n != length)
                tavik::details::throw_hresult(file_changed_while_read);

            co_await chunker.feed(buffers[index].data, std::int32_t(n));

            index = 1 - index;
            position = next_position;
            length = next_length;
            current = std::move(next);
        }
        co_await chunker.finish();

        // The data read is the data of `taken` only when nothing changed meanwhile: a write that
        // kept the size shows in the times, one that grew the file in its size.
        if (take_stream_snapshot(bound.handle()) != taken)
            tavik::details::throw_hresult(file_changed_while_read);

        co_await context.sink->fold_references();
    } catch (...) {
        failure = std::current_exception();
    }
    if (failure) {
        for (future<std::uint32_t>* read : {&current, &next}) {
            if (!read->valid() || read->is_ready())
                continue;
            try {
                co_await *read;
            } catch (...) {
                // The stream has failed already; this read only had to end before its buffer goes.
            }
        }
        std::rethrow_exception(failure);
    }
    co_return context.sink->take_references();
}

future<std::vector<block_ref>> cut_stream_data(stream_read_context context, const std::byte* data, std::uint32_t length)
{
    if (length == 0)
        co_return std::vector<block_ref>{};
    if (context.cancel && context.cancel->is_cancelled())
        tavik::details::throw_operation_cancelled();
    gear_chunker chunker(*context.pool, *context.sink);
    // Pieces as the reader would have fed them.
    for (std::uint32_t at = 0; at < length; at += piece_length)
        co_await chunker.feed(data + at, std::int32_t(std::min(piece_length, length - at)));
    co_await chunker.finish();
    co_await context.sink->fold_references();
    co_return context.sink->take_references();
}

} // namespace dedup
