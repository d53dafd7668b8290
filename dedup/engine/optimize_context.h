#pragma once
// The state one operation (optimize, the dry run, recover, the emptiness test) hands to the change
// scan, to the ingestion of files and to the completion, and one item of the scan's change list.
//
// The working tree is the operation's private copy: the scan only reads it, the ingestion changes
// it, and the live tree stays available to the Projected File System callbacks meanwhile.

#include <dedup/engine/block_writer.h>
#include <dedup/engine/folder_tree.h>

#include <tavik/cancellation.h>
#include <tavik/io/overlapped_io.h>

#include <windows.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dedup {

namespace impl {
class root_folder;
}

enum class change_kind : std::int32_t {
    added = 0,        // a new or changed item, to be read and taken in
    deleted = 1,      // an item to release from the tree
    placeholder = 2,  // a placeholder the tree holds under its path: at most its metadata changed
};

// Bits of change_entry::flags.
namespace change_flags {
// The on-disk state of a placeholder as PrjGetOnDiskFileState reports it (PRJ_FILE_STATE_PLACEHOLDER,
// _HYDRATED_PLACEHOLDER, _DIRTY_PLACEHOLDER); set on placeholder entries only.
inline constexpr std::uint32_t placeholder_state = 0x7;
inline constexpr std::uint32_t folder = 0x1000;
// Set by the operation when it could not process the entry; the entry stays as it is on disk.
inline constexpr std::uint32_t failed = 0x2000;
// A placeholder found at a path the tree does not hold: renamed or moved by an application. The
// platform still asks for its data under the path it was created with, which the tree holds until
// this run swaps its tree in, so it is read and taken in as a new item. The same run's deletions
// release that old path: see optimize_context::keep_stored_items.
inline constexpr std::uint32_t relocated = 0x4000;
} // namespace change_flags

// One item of the change list.
struct change_entry {
    std::wstring path;  // relative to the folder, components joined by '\', no leading separator
    // Work units for the progress: the size for a new, changed or placeholder file, 1 for a new
    // folder and for a deleted item.
    std::uint64_t work = 0;
    change_kind kind = change_kind::added;
    std::uint32_t flags = 0;  // change_flags
    // The times and attributes read when a new or changed item was taken in; zero until then.
    FILE_BASIC_INFO basic_info{};
};
static_assert(sizeof(FILE_BASIC_INFO) == 40);

// In the order the operation processes it: new folders (parents before children), placeholders,
// new files, deleted files, deleted folders. Every item taken in precedes every deletion.
using change_list = std::vector<change_entry>;

// What the scan saw but left alone, so that the operation can say so.
enum class skip_reason : std::uint8_t {
    // A folder that could not be opened or listed to its end: nothing below it is recorded, and
    // its stored items are neither taken in nor released.
    unreadable_folder = 1,
    // A junction or symbolic link (a reparse point that names another item): neither followed nor
    // taken in. A stored item of the same name stays in the tree.
    link = 2,
};

struct skipped_item {
    std::wstring path;  // relative, as in change_entry
    skip_reason reason;
};

struct optimize_context {
    impl::root_folder* root = nullptr;  // the folder: its path, store and locks
    // The operation's working copy of the folder tree: the scan compares with it, the ingestion
    // changes it.
    std::shared_ptr<impl::folder_t> tree;
    // Receives the new blocks of an optimize; absent for a recover or an emptiness test.
    std::optional<block_writer> writer;
    std::int32_t compression_level = 7;  // 1 to 12
    bool converting = false;             // the dry run: every item on disk is new
    // The operation's source: its cancellation ends the read of a file before its next piece.
    const tavik::details::cancellation_source* cancel = nullptr;
    // The reads of the files taken in.
    tavik::io::file_io_calls* reads = &tavik::io::system_file_io_calls();

    // Set by the scan.
    std::vector<skipped_item> skipped;
    // The run must release no stored item (process none of its deletions): a deletion is safe only
    // when the data of the deleted item cannot be waiting somewhere as a placeholder that the run
    // has not taken in. The scan sets it when a folder could not be listed (an item may have been
    // moved into it) or when it could not read the state of an item the tree does not hold (it may
    // be a moved placeholder); mark_failed sets it when a relocated item could not be taken in.
    bool keep_stored_items = false;
};

// Marks an entry that the operation could not process.
inline void mark_failed(optimize_context& context, change_entry& entry) noexcept
{
    entry.flags |= change_flags::failed;
    if (entry.flags & change_flags::relocated)
        context.keep_stored_items = true;
}

} // namespace dedup
