#pragma once
// A block file: the bytes of many blocks of one kind, concatenated in the order in which they were
// first added (the file's "content"; an index entry's offset and size locate a block in it). It is
// filled in memory by an operation's block_writer, compressed whole and written once, and never
// rewritten; a purge deletes it when no index entry refers to it any more.
//
// On disk (little-endian), under the block folder as store_names.h names it:
//
//   ".dcb", compressed                        ".dub", uncompressed
//   offset  size  field                       offset  size  field
//   0       4     n, length of the content    0       n     the content
//   4       4     c, length of the LZ4 data   n       ...   zeros to the next multiple of the
//   8       c     the content as one LZ4                    sector size
//                 block (LZ4HC)
//   8 + c   ...   zeros to the next multiple  A ".dub" does not store n: readers take the extent
//                 of the sector size          of each block from the index.
//
// Everything read back from these files is checked before it is used: a size that is not a whole
// number of sectors, a header whose c runs past the file or whose n exceeds what a writer can
// produce, data that does not decode to exactly n bytes, and a block that ends past the content
// all fail the read with ERROR_DATA_CHECKSUM_ERROR.

#include <dedup/engine/async_shared_lock.h>
#include <dedup/engine/file_io.h>

#include <tavik/byte_codec.h>
#include <tavik/shared_future.h>

#include <boost/intrusive/list.hpp>

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>

namespace dedup {

class block_store;

// The ".dcb" header, its reader and its writer. The reader takes the header from a reader over
// the whole file, which then stands at the LZ4 data; it fails (ok() false) on a file shorter
// than the header.
inline constexpr std::uint32_t dcb_header_size = 8;

struct dcb_header {
    std::uint32_t content_length = 0;     // n
    std::uint32_t compressed_length = 0;  // c
};

inline dcb_header read_dcb_header(tavik::byte_reader& in) noexcept
{
    dcb_header header;
    header.content_length = in.u32();
    header.compressed_length = in.u32();
    return header;
}

inline void write_dcb_header(std::span<std::byte, dcb_header_size> out, const dcb_header& header)
{
    tavik::byte_writer writer{std::span<std::byte>(out)};
    writer.u32(header.content_length);
    writer.u32(header.compressed_length);
}

// Largest block a writer accepts. Real blocks are far smaller (file chunks stay below 512 KiB,
// reference lists are at most 256 KiB, security descriptors below 140 KiB); the bound keeps every
// content length, and every length a loader is willing to allocate, well inside 32 bits.
inline constexpr std::uint32_t max_block_length = 1u << 20;

// Largest block-file size limit a store accepts (the folder server uses 50 MiB).
inline constexpr std::uint32_t max_block_file_size_limit = 1u << 30;

// Longest content a file of a store with this limit can have: it closes once its content reaches
// the limit, so it exceeds it by less than one block.
constexpr std::uint64_t max_block_file_content(std::uint32_t limit) noexcept
{
    return std::uint64_t(limit) + max_block_length;
}

// HRESULT_FROM_WIN32(ERROR_DATA_CHECKSUM_ERROR): a block file whose bytes do not hold together.
inline constexpr long damaged_block_file = static_cast<long>(0x80070143);

// One block file. Which lock guards what:
// - list membership (hook, where) and purge_mark: the store lock, or, before the commit, the
//   writer that created the file (one coroutine at a time);
// - buffer and loaded: the file's own lock, exclusive to change them. An open file of a writer is
//   changed by its writer's appends without the lock, except that growing the buffer takes it
//   exclusively; the end of a compression takes it exclusively before the content goes;
// - users: atomic. A reader that keeps a block file after it released the store lock holds a
//   block_file_ref, taken while it held the store lock; a purge never frees a file with users.
class block_file {
public:
    enum class place : std::uint8_t { writer, cold, hot };

    block_file(block_store& store, std::uint64_t number) noexcept : store(&store), number(number) {}
    block_file(const block_file&) = delete;
    block_file& operator=(const block_file&) = delete;

    // store path \ subfolder \ file name, for the given form.
    std::wstring path(bool as_uncompressed) const;
    std::wstring path() const { return path(uncompressed); }

    // Whether the file's compression and write has ended (or never started).
    bool written() const noexcept { return !pending || pending->is_ready(); }

    boost::intrusive::list_member_hook<> hook;
    block_store* const store;
    const std::uint64_t number;
    async_shared_lock lock;
    page_buffer_pool* pool = nullptr;  // the creating writer's pool until the commit; then null
    page_buffer buffer;                // the content while the file is open or loaded
    std::shared_ptr<tavik::details::shared_future_impl<void>> pending;  // compression and write
    std::uint64_t size_on_disk = 0;
    std::uint32_t purge_mark = 0;
    std::atomic<std::uint64_t> last_use{0};  // FILETIME of the last read
    bool loaded = false;
    bool uncompressed = false;
    bool stored = false;  // written whole and flushed; read once `pending` is ready
    place where = place::writer;
    std::atomic<std::uint32_t> users{0};
};

using block_file_list = boost::intrusive::list<
    block_file, boost::intrusive::member_hook<block_file, boost::intrusive::list_member_hook<>, &block_file::hook>,
    boost::intrusive::constant_time_size<true>>;

// Keeps a block file from being purged while it is held.
class block_file_ref {
public:
    block_file_ref() noexcept = default;
    // Take it while the file cannot be purged: under the store lock, or for a writer's own file.
    explicit block_file_ref(block_file* file) noexcept : file_(file)
    {
        if (file_)
            file_->users.fetch_add(1, std::memory_order_relaxed);
    }
    block_file_ref(const block_file_ref& other) noexcept : block_file_ref(other.file_) {}
    block_file_ref(block_file_ref&& other) noexcept : file_(std::exchange(other.file_, nullptr)) {}
    block_file_ref& operator=(block_file_ref other) noexcept
    {
        std::swap(file_, other.file_);
        return *this;
    }
    ~block_file_ref() { reset(); }

    void reset() noexcept
    {
        if (block_file* file = std::exchange(file_, nullptr))
            file->users.fetch_sub(1, std::memory_order_release);
    }

    block_file* get() const noexcept { return file_; }
    block_file* operator->() const noexcept { return file_; }
    block_file& operator*() const noexcept { return *file_; }
    explicit operator bool() const noexcept { return file_ != nullptr; }

private:
    block_file* file_ = nullptr;
};

} // namespace dedup
