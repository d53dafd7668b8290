#pragma once
// What the optimize tests check after every operation: the store files read back as a load reads
// them, reference counts recounted from the tree, and file contents rebuilt from the blocks.

#include <dedup/engine/block_store.h>
#include <dedup/engine/folder_tree.h>
#include <dedup/engine/folder_tree_file.h>
#include <dedup/engine/tests/store_test_support.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace dedup::testing {

// The pair of store files as the next load sees them.
struct store_image {
    file_info_header header{};
    std::shared_ptr<impl::folder_t> tree;
    std::unique_ptr<block_store> store;
};
store_image load_store_image(const std::wstring& store_path);

// Every reference the tree holds (security descriptors, reference lists and the data blocks they
// list), counted per key, against the index: empty when they agree, else what differs.
std::string recount_differences(const store_image& image);

// The data-block references of the file at `relative`, in stream order, read through its
// reference lists; empty when the tree does not hold it.
std::vector<block_ref> data_references(const store_image& image, const std::wstring& relative);

// The data of the file at `relative` rebuilt from its blocks, or nothing when the tree does not
// hold it.
std::optional<bytes> stored_content(const store_image& image, const std::wstring& relative);

} // namespace dedup::testing
