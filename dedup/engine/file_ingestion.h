#pragma once
// Taking items of the change list into an operation's working tree, and taking them out again.
//
// ingest_item opens one file or folder, records its size, times and attributes, stores its
// security descriptor as a block, has its data cut into blocks (stream_reader.h) and puts the new
// node into the working tree in place of the stored one. delete_item takes an item out of the
// tree. Both work only on the context's working tree and block writer; nothing here touches the
// live tree or the store's files.
//
// Exact counts: an item that cannot be taken in leaves the writer's references as they were. The
// ingestion remembers every reference it adds and drops them again when it fails, and a release
// gathers every key first (reading the reference lists) and drops them only when all were read, so
// a failure half way never leaves a reference behind that no tree node holds.
//
// A stream's block list is one level of references to reference-list blocks, each of which holds
// up to 8192 consecutive data-block references of 32 bytes (dedup::block_ref: the key, the stream
// offset of the block's first byte, 8 reserved zero bytes), in stream order.

#include <dedup/engine/gear_chunker.h>
#include <dedup/engine/optimize_context.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>
#include <tavik/unique_handle.h>

#include <windows.h>

#include <cstdint>
#include <expected>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

namespace dedup {

// References in one reference-list block.
inline constexpr std::size_t references_per_list = 8192;
// HRESULT of a block key already known with another size.
inline constexpr HRESULT hash_collision_hresult = static_cast<HRESULT>(0x887A0035);

// The sink the stream reader feeds: every chunk becomes a data block of the context's writer, and
// every full list of references a reference-list block.
class writer_block_sink final : public stream_block_sink {
public:
    explicit writer_block_sink(optimize_context& context);

    tavik::details::future<void> add_chunk(const std::byte* bytes, std::uint32_t length) override;
    tavik::details::future<void> fold_references() override;
    std::vector<block_ref> take_references() override;

    // Every key whose reference this sink added, in order: what a failed ingestion drops again.
    const std::vector<block_key>& added_keys() const noexcept { return added_; }

private:
    optimize_context* context_;
    std::vector<block_ref> pieces_;  // data blocks not yet folded into a list
    std::vector<block_ref> lists_;   // the stream's list of reference-list blocks
    std::vector<block_key> added_;
    std::uint64_t offset_ = 0;       // stream offset of the next chunk
};

// What reading an item ahead of its turn found: everything that ingest_item asks the system for
// before it adds blocks (the open item, its size, times and attributes, its security descriptor)
// and, for a file that one read piece holds whole, its data. Several items are read ahead at once
// so that their system calls overlap, while the items still reach the working tree and the writer
// one after another in the change list's order: the blocks, files and figures of a run do not
// depend on it. Nothing of the operation's state is touched by a read ahead.
struct prefetched_item {
    prefetched_item() = default;
    prefetched_item(const prefetched_item&) = delete;
    prefetched_item& operator=(const prefetched_item&) = delete;
    ~prefetched_item();

    struct local_free {
        void operator()(void* p) const noexcept { LocalFree(p); }
    };

    HRESULT failure = S_OK;          // opening, sizing or reading failed (cancellation too)
    bool out_of_memory = false;
    tavik::unique_file handle;       // open unless the data was read whole
    std::uint64_t size = 0;          // 0 for a folder
    FILE_BASIC_INFO basic{};
    std::unique_ptr<void, local_free> descriptor;  // null: none available
    DWORD descriptor_length = 0;
    bool data_read = false;          // `data` holds the whole stream, checked unchanged after reading
    page_buffer data;
    page_buffer_pool* pool = nullptr;  // where `data` goes back
};

// Reads the item at `full_path` ahead (on a pool thread). Never fails: failures are recorded in
// the result, which ingest_item then reports as it reports its own. The data of a file of at most
// 256 KiB is read with one overlapped read into a buffer of `pool`; a placeholder's (`flags` with
// placeholder bits) never is, as its stored data may be kept.
// Contract: `pool` and `calls` outlive the future; awaited before the operation ends.
tavik::details::future<std::shared_ptr<prefetched_item>> prefetch_item(std::wstring full_path, std::uint32_t flags,
                                                                       page_buffer_pool& pool, file_io_calls& calls,
                                                                       const tavik::details::cancellation_source* cancel);

// Takes the item at `full_path` (the change entry's path `relative_path`, its `flags`) into the
// working tree; `ahead`, when given, is what prefetch_item read of it. The result is the basic information read from the open item, or:
//   {3, "dedup.internal"}   the parent is not a folder of the working tree
//   {2, "dedup.internal"}   a block key already known with another size
//   {h, "dedup.io"}         opening, sizing or reading failed with HRESULT h (cancellation too;
//                           file_changed_while_read when another program wrote the file meanwhile)
// On failure the working tree and the writer's references are as they were.
//
// A changed file's node replaces the stored one; a dirty placeholder (metadata changed only) keeps
// its stored block list; a folder keeps the stored folder's children, which the scan lists on
// their own.
// Contract: awaited once, one ingestion or deletion at a time per context; resumes on a pool or
// I/O thread or on the caller's.
tavik::details::future<std::expected<FILE_BASIC_INFO, std::error_code>> ingest_item(optimize_context& context,
                                                                                  std::wstring full_path,
                                                                                  std::wstring relative_path,
                                                                                  std::uint32_t flags,
                                                                                  std::shared_ptr<prefetched_item> ahead = nullptr);

// Every block key `node` holds a reference to (and, for a folder, everything below it): the
// security descriptors, the reference-list blocks and the data blocks they list. Raises the
// failure of a reference-list block that cannot be read.
tavik::details::future<std::vector<block_key>> collect_item_references(optimize_context& context,
                                                                       std::shared_ptr<impl::file_t> node);

// Drops every block reference of `node` and everything below it. Nothing is dropped when a
// reference list cannot be read (the failure is raised).
tavik::details::future<void> release_item_blocks(optimize_context& context, std::shared_ptr<impl::file_t> node);

// Takes the item at `relative_path` out of the working tree and drops its references. {0} also when
// the path is not in the tree (or is the top folder); {h, "dedup.io"} when a reference list could
// not be read, and the item then stays.
tavik::details::future<std::error_code> delete_item(optimize_context& context, std::wstring relative_path);

} // namespace dedup
