#pragma once
// The folder tree: the in-memory picture of a deduplicated folder as of its last optimization.
// Every file and folder below the folder, with its size, times, attributes, the key of its
// security descriptor and, for a file, the blocks that make up its data.
//
// Children are ordered and matched as the Projected File System orders names
// (projfs::file_name_compare: case-insensitive, the file system's collation); the map key keeps
// the spelling under which the item was inserted.
//
// Ownership: a child is owned by the shared pointer in its parent's map; queries and operations
// may hold further shared pointers and so keep a node alive after it left the tree. `parent` is a
// plain back pointer, valid while the parent lives.
//
// Locking: the tree has no locks of its own. Every access goes under the root folder's tree lock:
// shared for lookups and listings, exclusive for insertions, replacements and the release or
// replacement of the root. Nodes are never edited once published: changes build new nodes and
// insert them, or swap in a new root, so a node held after the lock is released is a snapshot.
//
// Depth: nothing here recurses over the depth of the tree (copy, release, serialization and
// deserialization walk with explicit stacks), so a deep tree, or a damaged tree file that claims
// one, cannot exhaust a thread's stack.

#include <dedup/engine/block_index.h>

#include <platform/projfs/availability.h>

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <utility>
#include <vector>

namespace dedup {

// One reference from a stream to a block (a data block, or a block holding further references).
struct block_ref {
    block_key key;
    std::uint64_t offset = 0;    // of the first stream byte the block covers
    std::uint64_t reserved = 0;  // always 0
};
static_assert(sizeof(block_ref) == 32);
static_assert(std::is_trivially_copyable_v<block_ref>);

// One data stream of a file; the unnamed one is the main data stream.
struct stream_t {
    std::wstring name;
    std::vector<block_ref> refs;  // in stream order
};

namespace impl {

class folder_t;

class file_t {
public:
    static constexpr std::uint8_t folder_flag = 1;           // the node is a folder_t
    static constexpr std::uint8_t no_security_flag = 2;      // the item has no security descriptor

    std::uint64_t size = 0;  // of the data; 0 for a folder
    FILE_BASIC_INFO basic_info{};
    // The key of the block holding the item's security descriptor. All zero when the item has
    // none: a record without one may carry anything here, and a folder keeps only flag 1 (below),
    // so the zero key is what tells every user that there is nothing to fetch or release.
    block_key security_key{};
    std::vector<stream_t> streams;
    std::uint8_t flags = 0;
    folder_t* parent = nullptr;  // null for the root

    bool is_folder() const noexcept { return (flags & folder_flag) != 0; }
    // Whether the security key names a block.
    bool has_security_descriptor() const noexcept
    {
        return !(flags & no_security_flag) && security_key != block_key{};
    }
};

// What a path lookup finds: the node, and its name as the tree stores it.
struct found_item {
    std::shared_ptr<file_t> item;
    std::wstring name;
};

class folder_t : public file_t {
public:
    using children_map = std::map<std::wstring, std::shared_ptr<file_t>, projfs::file_name_less>;

    // An empty folder: flags 1, no children, no streams, no parent (the root of a new tree).
    folder_t() noexcept { flags = folder_flag; }
    // A folder node from an item record: the record's fields, `parent`, and flags exactly 1. A
    // record that said "no security descriptor" leaves a zero key behind.
    folder_t(const file_t& record, folder_t* parent);
    folder_t(const folder_t&) = delete;
    folder_t& operator=(const folder_t&) = delete;
    // Releases the children; a child folder whose last reference goes is taken apart in the same
    // loop rather than by recursion.
    ~folder_t();

    children_map children;

    // The child named `name` (as the file system compares names), or null.
    std::shared_ptr<file_t> find_child(const std::wstring& name) const;

    // Looks `path` up below `folder`: components separated by '\' only (a leading, trailing or
    // doubled separator makes an empty component); the empty path is the folder itself (with an
    // empty name). Every component but the last must name a folder.
    static std::optional<found_item> find_path(const std::shared_ptr<folder_t>& folder, std::wstring_view path);

    // Inserts `node` under `name`, or replaces the child of that name, which keeps its key's
    // spelling. Reports whether a new entry was made. The caller sets the node's parent. Raises
    // std::length_error when the map is full.
    std::pair<children_map::iterator, bool> insert_or_assign(const std::wstring& name, std::shared_ptr<file_t> node);

    // A deep copy of `source` and everything below it, whose parent is `new_parent`; every copied
    // child's parent is its copied folder.
    static std::shared_ptr<folder_t> copy(const folder_t& source, folder_t* new_parent);

    // Appends the folder's body in the tree file's encoding (folder_tree_file.h).
    void serialize(std::vector<std::uint8_t>& out) const;

    // Fills this (empty) folder from a tree image. Any damage (a truncated record, a count beyond
    // the bytes left, a name with a NUL, bytes left over) gives create_error::folder_invalid and
    // leaves the folder empty. Of two records of one name in a folder, the first wins.
    std::error_code deserialize(std::span<const std::uint8_t> image);
};

// A new byte vector holding `folder`'s body.
std::vector<std::uint8_t> serialize_tree(const folder_t& folder);

} // namespace impl
} // namespace dedup
