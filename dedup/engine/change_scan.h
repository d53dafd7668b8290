#pragma once
// The change scan: what changed in a deduplicated folder since its tree was last written.
//
// The scan walks the folder on disk, asks the Projected File System for the on-disk state of every
// item (one PrjGetOnDiskFileState call each, nothing read from the files), compares the folder with
// the operation's working tree and returns the change list (optimize_context.h). It runs
// synchronously on the calling thread and reads only the working tree. The dry run behind the
// estimate (context.converting) takes every item on disk as new and compares nothing.
//
// What a state means for an item on disk:
//
//   state                 folder                            file
//   FULL                  new folder                        new file
//   TOMBSTONE             deleted folder (and walked)       deleted file
//   placeholder, stored   nothing (walked)                  placeholder entry, with its state
//   placeholder, not      new folder, relocated (walked)    new file, relocated
//     stored under its
//     path and kind
//   call failed           nothing (walked)                  nothing
//   anything else         nothing (walked)                  nothing
//
// A stored item with nothing of its name on disk is deleted: it was removed while the folder was
// not virtualized, and the file system kept no tombstone.
//
// What the scan never does, so that no stored data is lost and nothing outside the folder is taken
// in:
// - Links. A reparse point that names another item (a junction, a symbolic link) is neither walked
//   nor taken in: walking it could loop forever or take in data from outside the folder. It is
//   reported in context.skipped, and a stored item of its name stays in the tree. Reparse points
//   that hold their item's own data (the platform's placeholders among them) are items like any
//   other.
// - Unreadable folders. A folder that cannot be opened, or not listed to its end, records no
//   deletion for its stored children: it is reported in context.skipped and kept as stored. Only
//   below a tombstone, which cannot be opened, is every stored child recorded as deleted.
// - Moved placeholders. A placeholder at a path the tree does not hold was renamed or moved by an
//   application (its old path reads as a tombstone or as missing): it is taken in as a new item
//   flagged relocated, which the run reads before it releases the old path. When the scan cannot be
//   sure it saw every such item (an unreadable folder, an item it cannot classify that the tree does
//   not hold), it sets context.keep_stored_items.
//
// Depth: the walk keeps its own stack of folders, not the thread's, so deep folders cannot exhaust
// the stack. Its order is that of a depth-first recursion: a folder's subfolders are walked before
// the next entry of the folder, and a folder's stored children are compared after all of them.

#include <dedup/engine/file_io.h>
#include <dedup/engine/folder_tree.h>
#include <dedup/engine/optimize_context.h>

#include <platform/projfs/projfs.h>

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace dedup {

// The platform call of the scan; tests substitute states the platform would report.
class change_scan_calls {
public:
    // PrjGetOnDiskFileState of the full path `path`.
    virtual HRESULT on_disk_state(const std::wstring& path, PRJ_FILE_STATE& state) const = 0;

protected:
    ~change_scan_calls() = default;
};

// The platform's own call; fails with ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE where the
// Projected File System is missing.
const change_scan_calls& system_change_scan_calls() noexcept;

// The collection of one scan: five lists and the directory reader's buffer pool.
struct scan_state {
    struct placeholder_item {
        std::wstring path;
        std::uint64_t size = 0;
        std::uint32_t state = 0;  // PRJ_FILE_STATE
    };
    struct new_folder {
        std::wstring path;
        std::uint32_t flags = 0;  // change_flags::relocated or 0
    };
    struct new_file {
        std::wstring path;
        std::uint64_t size = 0;
        std::uint32_t flags = 0;  // change_flags::relocated or 0
    };

    std::vector<placeholder_item> placeholders;
    std::vector<new_folder> new_folders;
    std::vector<std::wstring> deleted_folders;
    std::vector<std::wstring> deleted_files;
    std::vector<new_file> new_files;
    page_buffer_pool pool;  // batch buffers of directory_reader
};

// The whole scan of the context's folder. Raises only what allocation raises.
change_list scan_changes(optimize_context& context, const change_scan_calls& calls = system_change_scan_calls());

// One folder and everything below it, collected into `state`.
void scan_folder(optimize_context& context, scan_state& state, const std::wstring& full_path,
                 const std::wstring& relative_path, const change_scan_calls& calls = system_change_scan_calls());

struct tree_entry {
    std::wstring name;
    std::shared_ptr<impl::file_t> node;
};

// The children of the stored folder at `relative_path`, in the tree's order; empty when the path
// does not name a folder of the tree.
std::vector<tree_entry> list_tree_entries(const std::shared_ptr<impl::folder_t>& tree, std::wstring_view relative_path);

// The order in which new files are taken in, so that files of one type reach the block writer one
// after another: by extension, then by stem, of the last path component, each compared by UTF-16
// code units. The extension runs from the last "." of the component to its end, or to its first
// ":" when it has one. A component of one character, "." and "..", and one whose only "." is its
// first character have none; one ending in "." (other than "..") has the extension ".". The stem
// is the component without its extension.
struct file_type_key {
    std::wstring extension;
    std::wstring stem;
    friend auto operator<=>(const file_type_key&, const file_type_key&) = default;
};
file_type_key file_type_key_of(std::wstring_view path);

} // namespace dedup
