// The folder tree: the file system's name order, path lookups, insertion, deep copies, and trees
// too deep for recursion.

#include <dedup/engine/folder_tree.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dedup::block_key;
using dedup::block_ref;
using dedup::impl::file_t;
using dedup::impl::folder_t;

std::shared_ptr<file_t> make_file(std::uint64_t size, folder_t* parent = nullptr)
{
    auto file = std::make_shared<file_t>();
    file->size = size;
    file->security_key = block_key{size, ~size};
    file->streams.push_back({L"", {block_ref{block_key{size, 1}, 0, 0}}});
    file->parent = parent;
    return file;
}

std::shared_ptr<folder_t> add_folder(folder_t& parent, const std::wstring& name)
{
    auto folder = std::make_shared<folder_t>();
    folder->parent = &parent;
    parent.insert_or_assign(name, folder);
    return folder;
}

std::vector<std::wstring> names_of(const folder_t& folder)
{
    std::vector<std::wstring> names;
    for (const auto& [name, child] : folder.children)
        names.push_back(name);
    return names;
}

TEST(FolderTree, ChildrenInFileSystemOrder)
{
    folder_t folder;
    // Scrambled; the expected order folds to upper case and compares code units.
    for (const wchar_t* name : {L"_z", L"b.txt", L"\u00e9", L"file9", L"A.txt", L"Z", L"file10", L"a.doc"})
        folder.insert_or_assign(name, make_file(1, &folder));
    EXPECT_EQ(names_of(folder), (std::vector<std::wstring>{L"a.doc", L"A.txt", L"b.txt", L"file10", L"file9", L"Z",
                                                          L"_z", L"\u00e9"}));
}

struct lookup_case {
    const wchar_t* path;
    bool found;
    const wchar_t* name;  // stored name of what is found
};

TEST(FolderTree, FindPath)
{
    auto root = std::make_shared<folder_t>();
    auto docs = add_folder(*root, L"docs");
    docs->insert_or_assign(L"README.TXT", make_file(10, docs.get()));
    auto deeper = add_folder(*docs, L"Deeper");
    deeper->insert_or_assign(L"x", make_file(1, deeper.get()));
    root->insert_or_assign(L"a.txt", make_file(3, root.get()));
    root->insert_or_assign(L"odd/name", make_file(4, root.get()));

    const lookup_case cases[] = {
        {L"", true, L""},
        {L"Docs\\Readme.txt", true, L"README.TXT"},
        {L"DOCS", true, L"docs"},
        {L"docs\\deeper\\X", true, L"x"},
        {L"odd/name", true, L"odd/name"},  // a slash is part of a name
        {L"docs/README.TXT", false, nullptr},
        {L"a.txt\\b", false, nullptr},  // through a file
        {L"docs\\", false, nullptr},    // trailing separator: an empty component
        {L"docs\\\\README.TXT", false, nullptr},
        {L"\\docs", false, nullptr},
        {L"missing", false, nullptr},
        {L"docs\\README.TXT\\", false, nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
        auto found = folder_t::find_path(root, c.path);
        ASSERT_EQ(found.has_value(), c.found);
        if (found) {
            EXPECT_EQ(found->name, c.name);
        }
    }
    EXPECT_EQ(folder_t::find_path(root, L"")->item.get(), root.get());
    EXPECT_TRUE(folder_t::find_path(root, L"docs")->item->is_folder());

    // An empty name is a name like any other.
    docs->insert_or_assign(L"", make_file(0, docs.get()));
    auto empty = folder_t::find_path(root, L"docs\\");
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->name, L"");
}

TEST(FolderTree, InsertOrAssignKeepsTheFirstSpelling)
{
    folder_t folder;
    auto first = make_file(1, &folder);
    auto [at, inserted] = folder.insert_or_assign(L"file.txt", first);
    EXPECT_TRUE(inserted);
    auto second = make_file(2, &folder);
    auto [again, inserted_again] = folder.insert_or_assign(L"File.TXT", second);
    EXPECT_FALSE(inserted_again);
    EXPECT_EQ(again, at);
    ASSERT_EQ(folder.children.size(), 1u);
    EXPECT_EQ(folder.children.begin()->first, L"file.txt");
    EXPECT_EQ(folder.children.begin()->second, second);
    EXPECT_EQ(folder.find_child(L"FILE.txt"), second);
    EXPECT_EQ(folder.find_child(L"file.tx"), nullptr);
    EXPECT_EQ(first.use_count(), 1);  // the replaced node was released
}

TEST(FolderTree, DeepCopyRebuildsEveryNodeAndParent)
{
    auto root = std::make_shared<folder_t>();
    auto a = add_folder(*root, L"a");
    auto b = add_folder(*a, L"b");
    b->insert_or_assign(L"f.bin", make_file(42, b.get()));
    a->insert_or_assign(L"g.bin", make_file(7, a.get()));
    a->basic_info.FileAttributes = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_HIDDEN;

    folder_t new_parent;
    auto copy = folder_t::copy(*root, &new_parent);
    EXPECT_EQ(copy->parent, &new_parent);
    EXPECT_EQ(copy->flags, file_t::folder_flag);

    auto copied_a = std::static_pointer_cast<folder_t>(copy->find_child(L"a"));
    ASSERT_TRUE(copied_a);
    EXPECT_NE(copied_a.get(), a.get());
    EXPECT_EQ(copied_a->parent, copy.get());
    EXPECT_EQ(copied_a->basic_info.FileAttributes, a->basic_info.FileAttributes);
    EXPECT_EQ(names_of(*copied_a), (std::vector<std::wstring>{L"b", L"g.bin"}));

    auto copied_g = copied_a->find_child(L"g.bin");
    EXPECT_EQ(copied_g->parent, copied_a.get());
    auto copied_b = std::static_pointer_cast<folder_t>(copied_a->find_child(L"b"));
    EXPECT_EQ(copied_b->parent, copied_a.get());
    auto copied_f = copied_b->find_child(L"f.bin");
    ASSERT_TRUE(copied_f);
    EXPECT_NE(copied_f.get(), b->find_child(L"f.bin").get());
    EXPECT_EQ(copied_f->parent, copied_b.get());
    EXPECT_EQ(copied_f->size, 42u);
    ASSERT_EQ(copied_f->streams.size(), 1u);
    EXPECT_EQ(copied_f->streams[0].refs[0].key, (block_key{42, 1}));

    // The copy is independent of the original.
    copied_b->insert_or_assign(L"new", make_file(1, copied_b.get()));
    EXPECT_EQ(b->children.size(), 1u);
}

TEST(FolderTree, FolderFromARecordHasFlagsOneAndNoStaleKey)
{
    file_t record;
    record.flags = file_t::folder_flag | file_t::no_security_flag;
    record.security_key = block_key{0x1111, 0x2222};  // anything: it means nothing
    folder_t folder(record, nullptr);
    EXPECT_EQ(folder.flags, file_t::folder_flag);
    EXPECT_EQ(folder.security_key, block_key{});
    EXPECT_FALSE(folder.has_security_descriptor());

    record.flags = file_t::folder_flag;
    folder_t with_key(record, nullptr);
    EXPECT_TRUE(with_key.has_security_descriptor());
}

TEST(FolderTree, DeepTreeIsCopiedSavedLoadedAndReleasedWithoutRecursion)
{
    // Deeper than any thread's stack could follow with one frame per level.
    constexpr int depth = 100000;
    auto root = std::make_shared<folder_t>();
    folder_t* at = root.get();
    for (int level = 0; level < depth; ++level)
        at = add_folder(*at, L"d").get();
    at->insert_or_assign(L"leaf", make_file(9, at));

    auto copy = folder_t::copy(*root, nullptr);
    std::vector<std::uint8_t> image = dedup::impl::serialize_tree(*copy);
    EXPECT_EQ(image, dedup::impl::serialize_tree(*root));
    auto loaded = std::make_shared<folder_t>();
    ASSERT_FALSE(loaded->deserialize(image));
    std::wstring path;
    for (int level = 0; level < depth; ++level)
        path += L"d\\";
    ASSERT_TRUE(folder_t::find_path(loaded, path + L"leaf"));
    root.reset();
    copy.reset();
    loaded.reset();
}

TEST(FolderTree, HeldSubtreeOutlivesItsRoot)
{
    auto root = std::make_shared<folder_t>();
    auto a = add_folder(*root, L"a");
    a->insert_or_assign(L"x", make_file(1, a.get()));
    root.reset();
    ASSERT_EQ(a.use_count(), 1);
    EXPECT_EQ(a->children.size(), 1u);  // a query that held it still sees its snapshot
}

} // namespace
