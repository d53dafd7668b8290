// The folder tree file "files.deinfo": its encoding byte for byte, and a round trip through the
// whole file.

#include <dedup/engine/folder_tree.h>
#include <dedup/engine/folder_tree_file.h>
#include <dedup/engine/tests/tree_file_test_support.h>

#include <tavik/error_categories.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

using namespace dedup::testing::tree_file;
using dedup::block_key;
using dedup::impl::file_t;
using dedup::impl::folder_t;

TEST(FolderTreeFile, GoldenImageByteForByte)
{
    auto root = golden_tree();
    EXPECT_EQ(dedup::impl::serialize_tree(*root), golden_image());
}

TEST(FolderTreeFile, GoldenFileRoundTripByteForByte)
{
    const std::vector<std::uint8_t> file = encode(golden_header(), golden_image());
    // The documented signature bytes lead the file.
    const std::uint8_t signature[] = {0x6D, 0x83, 0xAA, 0x35, 0x8A, 0xD8, 0x20, 0x4C,
                                      0xB9, 0x17, 0x9E, 0x7A, 0x20, 0x0D, 0xD8, 0xBD};
    ASSERT_GE(file.size(), 80u);
    EXPECT_EQ(std::memcmp(file.data(), signature, 16), 0);
    std::uint32_t n;
    std::memcpy(&n, file.data() + 72, 4);
    EXPECT_EQ(n, golden_image().size());

    dedup::file_info_header header{};
    dedup::page_buffer image;
    ASSERT_FALSE(dedup::decode_file_info(file, header, image));
    EXPECT_EQ(std::memcmp(&header, file.data(), sizeof header), 0);
    auto loaded = std::make_shared<folder_t>();
    ASSERT_FALSE(loaded->deserialize({reinterpret_cast<const std::uint8_t*>(image.data), image.used}));
    const std::vector<std::uint8_t> again = dedup::impl::serialize_tree(*loaded);
    EXPECT_EQ(again, golden_image());
    EXPECT_EQ(encode(header, again), file);

    // What the nodes hold after the trip.
    auto sub = folder_t::find_path(loaded, L"sub");
    ASSERT_TRUE(sub);
    EXPECT_EQ(sub->name, L"Sub");
    EXPECT_EQ(sub->item->flags, file_t::folder_flag);
    auto x = folder_t::find_path(loaded, L"Sub\\X.BIN");
    ASSERT_TRUE(x);
    EXPECT_EQ(x->item->parent, sub->item.get());
    EXPECT_EQ(x->item->flags, file_t::no_security_flag);
    ASSERT_EQ(x->item->streams.size(), 2u);
    EXPECT_TRUE(x->item->streams[0].refs.empty());
    EXPECT_EQ(x->item->streams[1].name, L"alt");
}

TEST(FolderTreeFile, EmptyTreeIsFourZeroBytes)
{
    folder_t empty;
    EXPECT_EQ(dedup::impl::serialize_tree(empty), (std::vector<std::uint8_t>{0, 0, 0, 0}));
    const auto file = encode(dedup::new_file_info_header(), dedup::impl::serialize_tree(empty));
    dedup::file_info_header header{};
    dedup::page_buffer image;
    ASSERT_FALSE(dedup::decode_file_info(file, header, image));
    ASSERT_EQ(image.used, 4u);
    auto loaded = std::make_shared<folder_t>();
    EXPECT_FALSE(loaded->deserialize({reinterpret_cast<const std::uint8_t*>(image.data), image.used}));
    EXPECT_TRUE(loaded->children.empty());
}

TEST(FolderTreeFile, PaddingOfTheBasicInfoIsWrittenAsZeros)
{
    folder_t folder;
    auto file = std::make_shared<file_t>();
    std::memset(&file->basic_info, 0xFF, sizeof file->basic_info);  // padding included
    file->basic_info.FileAttributes = 0x20;
    folder.insert_or_assign(L"p", file);
    const auto image = dedup::impl::serialize_tree(folder);
    // k, name length, "p", size, four times, then the attributes and the padding.
    const std::size_t attributes_at = 4 + 4 + 2 + 8 + 32;
    std::uint32_t attributes, padding;
    std::memcpy(&attributes, image.data() + attributes_at, 4);
    std::memcpy(&padding, image.data() + attributes_at + 4, 4);
    EXPECT_EQ(attributes, 0x20u);
    EXPECT_EQ(padding, 0u);
}

TEST(FolderTreeFile, RecordRules)
{
    image_writer w;
    w.u32(4);
    // A file record without a security descriptor: whatever its key held is not kept.
    w.record(L"bare", 4, 0x20, block_key{9, 9}, {}, 2);
    // A folder record with flags 3 and a key: a folder node with flags 1 and no key.
    w.record(L"f", 0, 0x10, block_key{7, 8}, {}, 3);
    w.u32(0);
    // Two records of one name: the first wins, the second (a folder, body and all) is read and dropped.
    w.record(L"dup", 1, 0x20, block_key{1, 1}, {{L"", {}}}, 0);
    w.record(L"DUP", 2, 0x20, block_key{2, 2}, {}, 1);
    w.u32(1);
    w.record(L"inner", 3, 0x20, block_key{3, 3}, {}, 0);
    auto loaded = std::make_shared<folder_t>();
    ASSERT_FALSE(loaded->deserialize(w.bytes));
    ASSERT_EQ(loaded->children.size(), 3u);
    auto bare = loaded->find_child(L"bare");
    EXPECT_EQ(bare->flags, file_t::no_security_flag);
    EXPECT_EQ(bare->security_key, block_key{});
    EXPECT_FALSE(bare->has_security_descriptor());
    auto f = loaded->find_child(L"f");
    EXPECT_EQ(f->flags, file_t::folder_flag);
    EXPECT_EQ(f->security_key, block_key{});
    auto dup = loaded->find_child(L"dup");
    EXPECT_EQ(dup->size, 1u);
    EXPECT_FALSE(dup->is_folder());
    // A stream of zero references: its name, then u32 0.
    const auto written = dedup::impl::serialize_tree(*loaded);
    image_writer expected;
    expected.u32(3);
    expected.record(L"bare", 4, 0x20, block_key{}, {}, 2);
    expected.record(L"dup", 1, 0x20, block_key{1, 1}, {{L"", {}}}, 0);
    expected.record(L"f", 0, 0x10, block_key{}, {}, 1);
    expected.u32(0);
    EXPECT_EQ(written, expected.bytes);
}

TEST(FolderTreeFile, HighlyCompressibleImagesDecode)
{
    // The length check against the compressed length must let LZ4's best ratio through.
    std::vector<std::uint8_t> zeros(8 << 20, 0);
    const auto file = encode(dedup::new_file_info_header(), zeros, 12);
    dedup::file_info_header header{};
    dedup::page_buffer image;
    EXPECT_FALSE(dedup::decode_file_info(file, header, image));
    EXPECT_EQ(image.used, zeros.size());
}

TEST(FolderTreeFile, CompressionLevelsOutsideTheRangeStillWrite)
{
    const auto image = golden_image();
    for (int level : {-5, 0, 1, 9, 12, 40}) {
        const auto file = encode(golden_header(), image, level);
        dedup::file_info_header header{};
        dedup::page_buffer decoded;
        ASSERT_FALSE(dedup::decode_file_info(file, header, decoded)) << level;
        EXPECT_EQ(std::vector<std::uint8_t>(reinterpret_cast<std::uint8_t*>(decoded.data),
                                            reinterpret_cast<std::uint8_t*>(decoded.data) + decoded.used),
                  image);
    }
}

} // namespace
