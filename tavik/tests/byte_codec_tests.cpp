#include <tavik/byte_codec.h>

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <vector>

using tavik::byte_reader;
using tavik::byte_writer;

namespace {

std::vector<std::byte> bytes_of(std::initializer_list<int> values)
{
    std::vector<std::byte> out;
    for (int v : values)
        out.push_back(std::byte(v));
    return out;
}

} // namespace

TEST(byte_codec, integers_are_little_endian_and_read_back)
{
    std::vector<std::byte> image;
    byte_writer w(image);
    w.u8(0x01);
    w.u16(0x0302);
    w.u32(0x07060504);
    w.u64(0x0F0E0D0C0B0A0908);
    w.zeros(2);
    EXPECT_TRUE(w.ok());
    EXPECT_EQ(w.position(), 17u);
    EXPECT_EQ(image, bytes_of({1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 0, 0}));

    byte_reader r(image);
    EXPECT_EQ(r.u8(), 0x01);
    EXPECT_EQ(r.u16(), 0x0302);
    EXPECT_EQ(r.u32(), 0x07060504u);
    EXPECT_EQ(r.u64(), 0x0F0E0D0C0B0A0908u);
    auto rest = r.bytes(2);
    EXPECT_EQ(rest.size(), 2u);
    EXPECT_TRUE(r.ok());
    EXPECT_TRUE(r.at_end());
}

TEST(byte_codec, reading_past_the_image_fails_reads_nothing_and_the_failure_sticks)
{
    const std::vector<std::byte> image = bytes_of({0xAA, 0xBB, 0xCC});
    struct overrun {
        const char* name;
        void (*read)(byte_reader&);
    };
    const overrun cases[] = {
        {"u32 over 1 left", [](byte_reader& r) { EXPECT_EQ(r.u32(), 0u); }},
        {"bytes over 1 left", [](byte_reader& r) { EXPECT_TRUE(r.bytes(2).empty()); }},
        // A size that would wrap the position around must not pass the bounds test.
        {"huge bytes", [](byte_reader& r) { EXPECT_TRUE(r.bytes(std::numeric_limits<std::size_t>::max()).empty()); }},
        {"huge skip", [](byte_reader& r) { r.skip(std::numeric_limits<std::size_t>::max()); }},
    };
    for (const overrun& c : cases) {
        SCOPED_TRACE(c.name);
        byte_reader r(image);
        EXPECT_EQ(r.u16(), 0xBBAA);
        c.read(r);
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.position(), 2u); // the failed read took nothing
        EXPECT_EQ(r.u8(), 0);        // would fit, but the reader has failed
        EXPECT_FALSE(r.ok());
        EXPECT_EQ(r.position(), 2u);
    }
}

TEST(byte_codec, a_fixed_writer_refuses_what_does_not_fit_and_writes_nothing_more)
{
    std::array<std::byte, 8> memory;
    memory.fill(std::byte{0xEE});
    byte_writer w(std::span<std::byte>(memory.data(), 6)); // the last two bytes are not its
    w.u32(0x04030201);
    EXPECT_TRUE(w.ok());
    w.u32(0x08070605); // 2 left: refused whole, not cut
    EXPECT_FALSE(w.ok());
    w.u8(0x09); // would fit, but the writer has failed
    w.zeros(1);
    EXPECT_EQ(w.position(), 4u);
    const std::array<std::byte, 8> expected = {std::byte{1},    std::byte{2},    std::byte{3},    std::byte{4},
                                               std::byte{0xEE}, std::byte{0xEE}, std::byte{0xEE}, std::byte{0xEE}};
    EXPECT_EQ(memory, expected);

    std::array<std::byte, 4> exact;
    byte_writer full(exact);
    full.u32(0xDDCCBBAA); // filling it to the last byte is fine
    EXPECT_TRUE(full.ok());
    EXPECT_EQ(full.position(), 4u);
}
