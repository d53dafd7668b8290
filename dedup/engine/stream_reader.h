#pragma once
// Reading one data stream of a file and cutting it into chunks.
//
// The stream is read in pieces of 256 KiB with two alternating overlapped reads on thread-pool
// I/O: while one piece is cut and its chunks hashed and added, the next one is already being read.
// A stream of at most 256 KiB is read with a single buffer of its own size.
//
// The data handed on must be the file's data as it was when its size and times were taken: a file
// that another program writes while it is read would otherwise be stored with bytes of two
// versions, or (when it shrank) with fewer bytes than its recorded size. So a read that returns
// less than asked, and a file whose size, last write time or change time differ after its data was
// read from what the caller took before, fail the stream with file_changed_while_read. The next
// optimize finds the file changed and reads it again.

#include <dedup/engine/file_io.h>
#include <dedup/engine/folder_tree.h>
#include <dedup/engine/gear_chunker.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <windows.h>

#include <cstdint>
#include <vector>

namespace dedup {

// HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION): the file changed while it was read (another program
// was writing it); it is left as it is this time.
inline constexpr long file_changed_while_read = static_cast<long>(0x80070020);

// What the caller read of the file before its data: the stream's length and the file's times.
struct stream_snapshot {
    std::uint64_t size = 0;
    std::int64_t last_write_time = 0;  // FILETIME as FILE_BASIC_INFO gives it
    std::int64_t change_time = 0;

    friend bool operator==(const stream_snapshot&, const stream_snapshot&) = default;
};

// GetFileSizeEx and FileBasicInfo of an open file; raises the last error when either fails.
stream_snapshot take_stream_snapshot(HANDLE file);

// What one stream read needs of the operation.
struct stream_read_context {
    page_buffer_pool* pool;       // the operation writer's pool: the chunker's carry buffer
    stream_block_sink* sink;      // receives the chunks and closes the reference list
    // The operation's source; its cancellation ends the read before the next piece is cut.
    const tavik::details::cancellation_source* cancel = nullptr;
    file_io_calls* calls = &system_file_io_calls();  // ReadFile and the thread-pool calls
};

// Reads the stream of `file` (opened for overlapped reading; the caller keeps and closes it; an open
// file is bound to thread-pool I/O for good, so it can be read this way once) and
// feeds its data to a new gear_chunker over `context.sink`; then hands on the last chunk, has the
// sink fold its references and completes with the sink's top-level list. `taken` is what the caller
// read of the file before (its size is the stream's length). With `skip` (a folder) or a length of
// 0, it completes at once with an empty list: nothing is read, cut or folded.
//
// Contract: awaited once; resumes on a thread-pool I/O thread or where the sink's last call
// completed (the caller's thread when nothing was read). Raises traceable_error for a failed bind
// or read, file_changed_while_read as above, operation_cancelled when the context's source was
// cancelled, and whatever the sink raises. A failed stream has handed part of its chunks on;
// the caller discards what its sink gathered. No read is left in flight when it completes.
tavik::details::future<std::vector<block_ref>> read_stream_blocks(stream_read_context context, HANDLE file, stream_snapshot taken,
                                                                  bool skip);

// Cuts a stream that was read whole ahead of its turn (`data`, `length` bytes, the file's data as
// the caller's snapshot describes it) exactly as read_stream_blocks cuts the same bytes read from
// the file: the same chunks reach the sink, then the sink folds its references.
// Contract: as read_stream_blocks; `data` stays valid until the future completes.
tavik::details::future<std::vector<block_ref>> cut_stream_data(stream_read_context context, const std::byte* data,
                                                               std::uint32_t length);

} // namespace dedup
