// The bytes of a root's record file: the header and entries as laid out beside their reader and
// writer (record_log.h), and what a truncated or damaged file reads as. Records outlive the
// programs that wrote them, so the image is checked byte for byte against one built by hand.

#include <platform/projfs/emulation/record_log.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace {

using namespace projfs::emulation;

// Builds an expected image field by field, independently of the codec under test.
class image_builder {
public:
    image_builder& raw(std::initializer_list<unsigned> values)
    {
        for (unsigned value : values)
            bytes_.push_back(static_cast<std::byte>(value));
        return *this;
    }
    image_builder& le(std::uint64_t value, int size)
    {
        for (int i = 0; i < size; ++i)
            bytes_.push_back(static_cast<std::byte>(value >> (8 * i)));
        return *this;
    }
    image_builder& text(std::wstring_view units)
    {
        for (wchar_t unit : units)
            le(static_cast<std::uint16_t>(unit), 2);
        return *this;
    }
    std::vector<std::byte> bytes() const { return bytes_; }

private:
    std::vector<std::byte> bytes_;
};

constexpr GUID test_id{0x11223344, 0x5566, 0x7788, {0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01}};
constexpr std::int64_t before_1601 = -2;  // times are signed: a negative one must survive

const recorded_item hydrated_item{recorded_kind::hydrated_placeholder,
                                  item_look{0x0102030405060708, 132000000000000000, before_1601,
                                            FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY}};

std::vector<std::byte> expected_header()
{
    return image_builder{}
        .raw({'P', 'R', 'J', 'E', 'M', 'R', 'E', 'C'})
        .le(1, 4)
        .le(52 + 2 * 5, 4)
        .le(0x8877665544332211, 8)
        .le(0x11223344, 4)
        .le(0x5566, 2)
        .le(0x7788, 2)
        .raw({0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff, 0x01})
        .le(0x0000000100000abc, 8)
        .le(5, 4)
        .text(L"C:\\r\u00e9")
        .bytes();
}

std::vector<std::byte> expected_put()
{
    return image_builder{}
        .le(40 + 2 * 7, 4)
        .le(1, 1)
        .le(3, 1)
        .le(0, 2)
        .le(0x0102030405060708, 8)
        .le(132000000000000000, 8)
        .le(static_cast<std::uint64_t>(before_1601), 8)
        .le(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_READONLY, 4)
        .le(7, 4)
        .text(L"d\\\u00e4.txt")
        .bytes();
}

std::vector<std::byte> expected_erase()
{
    return image_builder{}.le(40 + 2 * 1, 4).le(2, 1).le(2, 1).le(0, 2).le(0, 8).le(0, 8).le(0, 8).le(0, 4).le(1, 4)
        .text(L"d")
        .bytes();
}

std::vector<std::byte> joined(std::vector<std::byte> first, const std::vector<std::byte>& second)
{
    first.insert(first.end(), second.begin(), second.end());
    return first;
}

std::vector<record_log::entry> read_all(std::span<const std::byte> image, std::size_t& consumed)
{
    std::vector<record_log::entry> entries;
    record_log::entry_reader reader(image);
    while (auto entry = reader.next())
        entries.push_back(std::move(*entry));
    consumed = reader.consumed();
    return entries;
}

TEST(RecordLog, WritesTheDocumentedBytesAndReadsThemBack)
{
    const std::vector<std::byte> header = record_log::write_header(0x8877665544332211, test_id, 0x0000000100000abc,
                                                            L"C:\\r\u00e9");
    EXPECT_EQ(header, expected_header());
    const auto read = record_log::read_header(std::span(header).first(record_log::header_fixed_length), header.size());
    ASSERT_TRUE(read);
    EXPECT_EQ(read->length, header.size());
    EXPECT_EQ(read->generation, 0x8877665544332211u);
    EXPECT_TRUE(IsEqualGUID(read->instance_id, test_id));
    EXPECT_EQ(read->root_file_index, 0x0000000100000abcu);

    const std::vector<std::byte> put = record_log::write_entry(record_log::operation::put, L"d\\\u00e4.txt", hydrated_item);
    EXPECT_EQ(put, expected_put());
    const std::vector<std::byte> erase = record_log::write_entry(record_log::operation::erase, L"d", recorded_item{});
    EXPECT_EQ(erase, expected_erase());

    std::size_t consumed = 0;
    const std::vector<std::byte> image = joined(put, erase);
    const std::vector<record_log::entry> entries = read_all(image, consumed);
    EXPECT_EQ(consumed, image.size());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].op, record_log::operation::put);
    EXPECT_EQ(entries[0].path, L"d\\\u00e4.txt");
    EXPECT_EQ(entries[0].item.kind, recorded_kind::hydrated_placeholder);
    EXPECT_EQ(entries[0].item.look, hydrated_item.look);
    EXPECT_EQ(entries[1].op, record_log::operation::erase);
    EXPECT_EQ(entries[1].path, L"d");
}

TEST(RecordLog, OriginEntriesCarryBothPaths)
{
    const std::vector<std::byte> moved = record_log::write_origin_entry(L"new\\f.bin", L"old\\f.bin");
    // Operation 3, and a path field of both paths with one zero code unit between them.
    ASSERT_EQ(moved.size(), record_log::entry_fixed_length + 2 * (9 + 1 + 9));
    EXPECT_EQ(moved[4], std::byte{3});
    const std::vector<std::byte> ended = record_log::write_origin_entry(L"new\\f.bin", L"");
    std::size_t consumed = 0;
    const std::vector<record_log::entry> entries = read_all(joined(moved, ended), consumed);
    EXPECT_EQ(consumed, moved.size() + ended.size());
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].op, record_log::operation::origin);
    EXPECT_EQ(entries[0].path, L"new\\f.bin");
    EXPECT_EQ(entries[0].origin, L"old\\f.bin");
    EXPECT_EQ(entries[1].op, record_log::operation::origin);
    EXPECT_EQ(entries[1].path, L"new\\f.bin");
    EXPECT_EQ(entries[1].origin, L"");
}

TEST(RecordLog, DamagedHeaderIsAnUnmarkedRoot)
{
    struct header_case {
        const char* name;
        std::size_t offset;  // a byte to change, or npos for none
        unsigned value;
        std::size_t kept;       // of the fixed header's bytes
        std::uint64_t file_size;
        bool marked;
    };
    constexpr std::size_t none = std::size_t(-1);
    const std::size_t whole = expected_header().size();
    const header_case cases[] = {
        {"as written", none, 0, 52, whole, true},
        {"entries after the header", none, 0, 52, 4096, true},
        {"empty file", none, 0, 0, 0, false},
        {"one byte short of the fixed header", none, 0, 51, 51, false},
        {"other magic", 3, 'e', 52, whole, false},
        {"other version", 8, 2, 52, whole, false},
        {"header longer than the file", none, 0, 52, 61, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<std::byte> image = expected_header();
        if (c.offset != none)
            image[c.offset] = static_cast<std::byte>(c.value);
        EXPECT_EQ(record_log::read_header(std::span(image).first(c.kept), c.file_size).has_value(), c.marked);
    }
}

TEST(RecordLog, LogEndsAtATornOrDamagedEntry)
{
    const std::vector<std::byte> put = expected_put();
    const std::vector<std::byte> image = joined(put, expected_erase());
    // A writer that died mid-append leaves any prefix of its entry: the complete ones before it
    // stay, and the next append belongs right after them.
    for (std::size_t cut = 0; cut <= image.size(); ++cut) {
        SCOPED_TRACE(testing::Message() << "cut at " << cut);
        std::size_t consumed = 0;
        const std::size_t complete = cut == image.size() ? 2 : cut >= put.size() ? 1 : 0;
        EXPECT_EQ(read_all(std::span(image).first(cut), consumed).size(), complete);
        EXPECT_EQ(consumed, complete == 2 ? image.size() : complete == 1 ? put.size() : 0);
    }

    // A length that disagrees with the path's ends the log even where the bytes would suffice.
    for (std::uint32_t length : {0u, 40u, 40u + 2 * 7 - 1, 40u + 2 * 7 + 1, 0xFFFFFFFFu}) {
        SCOPED_TRACE(testing::Message() << "entry length " << length);
        std::vector<std::byte> damaged = joined(expected_erase(), joined(put, expected_erase()));
        const std::size_t at = expected_erase().size();
        for (int i = 0; i < 4; ++i)
            damaged[at + i] = static_cast<std::byte>(length >> (8 * i));
        std::size_t consumed = 0;
        EXPECT_EQ(read_all(damaged, consumed).size(), 1u);
        EXPECT_EQ(consumed, at);
    }
}

} // namespace
