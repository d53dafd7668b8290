// What a damaged "files.deinfo" yields: "Folder is invalid" (or, for a compressed image that does
// not decompress to its length, "Internal invariant totally broken"), never a crash and never an
// allocation the file's values ask for without the bytes to back them.

#include <dedup/engine/folder_tree.h>
#include <dedup/engine/folder_tree_file.h>
#include <dedup/engine/tests/tree_file_test_support.h>

#include <tavik/error_categories.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>

namespace {

using namespace dedup::testing::tree_file;
using dedup::block_key;
using dedup::impl::folder_t;

const std::error_code invalid = dedup::create_error::folder_invalid;
const std::error_code broken = dedup::internal_error::invariant_broken;

std::error_code decode(const std::vector<std::uint8_t>& file)
{
    dedup::file_info_header header{};
    dedup::page_buffer image;
    return dedup::decode_file_info(file, header, image);
}

std::error_code load_image(const std::vector<std::uint8_t>& image)
{
    folder_t root;
    std::error_code result = root.deserialize(image);
    if (result) {
        EXPECT_TRUE(root.children.empty()) << "a failed load leaves the folder empty";
    }
    return result;
}

void put_u32(std::vector<std::uint8_t>& bytes, std::size_t at, std::uint32_t value)
{
    std::memcpy(bytes.data() + at, &value, 4);
}

struct file_case {
    const char* name;
    std::function<void(std::vector<std::uint8_t>&)> damage;
    std::error_code expected;
};

TEST(FolderTreeFileCorruption, FileLevelDamage)
{
    const std::vector<std::uint8_t> good = encode(golden_header(), golden_image());
    const std::uint32_t c = static_cast<std::uint32_t>(good.size() - 80);
    const file_case cases[] = {
        {"empty file", [](auto& f) { f.clear(); }, invalid},
        {"header only", [](auto& f) { f.resize(72); }, invalid},
        {"79 bytes", [](auto& f) { f.resize(79); }, invalid},
        {"other signature", [](auto& f) { f[3] ^= 0x40; }, invalid},
        {"compressed length past the end", [c](auto& f) { put_u32(f, 76, c + 1); }, invalid},
        {"compressed length far past the end", [](auto& f) { put_u32(f, 76, 0xFFFFFFFF); }, invalid},
        {"bytes after the compressed image", [](auto& f) { f.push_back(0); }, invalid},
        {"file cut inside the compressed image", [](auto& f) { f.pop_back(); }, invalid},
        {"zero image length", [](auto& f) { put_u32(f, 72, 0); }, invalid},
        {"image length below an empty tree", [](auto& f) { put_u32(f, 72, 3); }, invalid},
        {"image length no compressed length can hold", [](auto& f) { put_u32(f, 72, 0xFFFFFFF0); }, invalid},
        {"image length one more than decompressed", [](auto& f) {
             std::uint32_t n;
             std::memcpy(&n, f.data() + 72, 4);
             put_u32(f, 72, n + 1);
         },
         broken},
        {"compressed bytes scrambled", [](auto& f) { std::memset(f.data() + 80, 0xFF, f.size() - 80); }, broken},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto file = good;
        c.damage(file);
        EXPECT_EQ(decode(file), c.expected);
    }
}

TEST(FolderTreeFileCorruption, WrongSignatureStillFillsTheHeaderImage)
{
    auto file = encode(golden_header(), golden_image());
    file[0] ^= 1;
    dedup::file_info_header header{};
    dedup::page_buffer image;
    EXPECT_EQ(dedup::decode_file_info(file, header, image), invalid);
    EXPECT_EQ(std::memcmp(&header, file.data(), sizeof header), 0);
}

TEST(FolderTreeFileCorruption, EveryTruncationOfTheImage)
{
    const auto image = golden_image();
    for (std::size_t length = 0; length < image.size(); ++length) {
        SCOPED_TRACE(length);
        EXPECT_EQ(load_image({image.begin(), image.begin() + length}), invalid);
    }
    EXPECT_FALSE(load_image(image));
}

TEST(FolderTreeFileCorruption, BytesLeftOverAfterTheRootBody)
{
    auto image = golden_image();
    image.push_back(0);
    EXPECT_EQ(load_image(image), invalid);
}

TEST(FolderTreeFileCorruption, CountsBeyondTheBytesLeft)
{
    // Each count is the largest u32; the reader must refuse it before reserving anything for it.
    struct count_case {
        const char* name;
        std::function<void(image_writer&)> write;
    };
    const count_case cases[] = {
        {"child count", [](image_writer& w) { w.u32(0xFFFFFFFF); }},
        {"child count of a folder",
         [](image_writer& w) {
             w.u32(1);
             w.record(L"f", 0, 0x10, block_key{}, {}, 1);
             w.u32(0x7FFFFFFF);
         }},
        {"name length",
         [](image_writer& w) {
             w.u32(1);
             w.u32(0xFFFFFFFF);
         }},
        {"stream count",
         [](image_writer& w) {
             w.u32(1);
             w.name(L"s");
             w.u64(0);
             for (int i = 0; i < 4; ++i)
                 w.u64(0);
             w.u32(0x20);
             w.u32(0);
             w.key(block_key{});
             w.u32(0xFFFFFFFF);
         }},
        {"reference count",
         [](image_writer& w) {
             w.u32(1);
             w.name(L"r");
             w.u64(0);
             for (int i = 0; i < 4; ++i)
                 w.u64(0);
             w.u32(0x20);
             w.u32(0);
             w.key(block_key{});
             w.u32(1);
             w.name(L"");
             w.u32(0x08000000);
         }},
        {"stream name length",
         [](image_writer& w) {
             w.u32(1);
             w.name(L"n");
             w.u64(0);
             for (int i = 0; i < 4; ++i)
                 w.u64(0);
             w.u32(0x20);
             w.u32(0);
             w.key(block_key{});
             w.u32(1);
             w.u32(0x40000000);
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        image_writer w;
        c.write(w);
        for (int i = 0; i < 200; ++i)  // some bytes, far fewer than the counts claim
            w.u8(0);
        EXPECT_EQ(load_image(w.bytes), invalid);
    }
}

TEST(FolderTreeFileCorruption, NulInsideAName)
{
    image_writer w;
    w.u32(1);
    w.record(std::wstring(L"a\0b", 3), 1, 0x20, block_key{}, {}, 0);
    EXPECT_EQ(load_image(w.bytes), invalid);
}

TEST(FolderTreeFileCorruption, DeepNestingClaimedByADamagedFile)
{
    // Each level a folder record whose body claims one child: deep enough to exhaust any stack a
    // recursive reader would use, then cut short.
    image_writer w;
    w.u32(1);
    for (int level = 0; level < 200000; ++level) {
        w.record(L"d", 0, 0x10, block_key{}, {}, 1);
        w.u32(1);
    }
    EXPECT_EQ(load_image(w.bytes), invalid);
}

TEST(FolderTreeFileCorruption, SingleByteFlipsNeverCrash)
{
    const auto image = golden_image();
    for (std::size_t at = 0; at < image.size(); ++at) {
        for (std::uint8_t flip : {std::uint8_t(0x01), std::uint8_t(0x80), std::uint8_t(0xFF)}) {
            auto damaged = image;
            damaged[at] ^= flip;
            folder_t root;
            std::error_code result = root.deserialize(damaged);
            EXPECT_TRUE(!result || result == invalid) << "byte " << at;
        }
    }
}

} // namespace
