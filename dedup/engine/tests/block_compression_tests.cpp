// Compression of block-file content in segments spread over the processors: the joined block must
// decode to the content with the plain LZ4 decoder, come out the same every time, and cost next to
// nothing in size against one pass over the whole content.

#include <dedup/engine/block_compression.h>

#include <tavik/error.h>
#include <tavik/future.h>

#include <lz4.h>
#include <lz4hc.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace dedup {
namespace {

constexpr int level = 7;
constexpr std::uint32_t segment = compression_segment_length;
using bytes = std::vector<std::byte>;

template <class T>
T run(tavik::details::future<T> f)
{
    return tavik::details::wait_blocking_result(std::move(f));
}

// Words with some noise: compresses to about a third, with matches everywhere.
bytes text(std::size_t size, std::uint64_t seed)
{
    static const char* const words[] = {"block ", "store ", "folder ", "chunk ", "index ", "key ", "file ", "data ",
                                        "the ",   "of ",    "and ",    "\r\n",   "1234 ", "hash ", "read ", "once "};
    bytes out(size);
    std::mt19937_64 random(seed);
    for (std::size_t at = 0; at < size;) {
        const std::uint64_t x = random();
        std::string piece = (x >> 60) == 0 ? std::string(reinterpret_cast<const char*>(&x), 6) : words[x % 16];
        const std::size_t n = std::min(piece.size(), size - at);
        std::memcpy(out.data() + at, piece.data(), n);
        at += n;
    }
    return out;
}

bytes noise(std::size_t size, std::uint64_t seed)
{
    bytes out(size);
    std::mt19937_64 random(seed);
    for (auto& b : out)
        b = std::byte(random());
    return out;
}

bytes decompress(const std::byte* block, std::uint32_t length, std::size_t size)
{
    bytes out(size + 1);
    const int n = LZ4_decompress_safe(reinterpret_cast<const char*>(block), reinterpret_cast<char*>(out.data()),
                                      static_cast<int>(length), static_cast<int>(out.size()));
    if (n < 0)
        return {};
    out.resize(static_cast<std::size_t>(n));
    return out;
}

// The compressed block of `content`, at offset 8 of the output as block files keep it.
bytes compress(const bytes& content, tavik::io::page_buffer_pool& pool,
               const tavik::details::cancellation_source* cancel = nullptr)
{
    tavik::io::page_buffer out;
    const std::uint32_t c = run(compress_content(content.data(), static_cast<std::uint32_t>(content.size()), out, 8,
                                                 pool, level, cancel));
    return bytes(out.data + 8, out.data + 8 + c);
}

int one_pass(const bytes& content, std::vector<char>& out)
{
    out.resize(LZ4_compressBound(static_cast<int>(content.size())));
    return LZ4_compress_HC(reinterpret_cast<const char*>(content.data()), out.data(), static_cast<int>(content.size()),
                           static_cast<int>(out.size()), level);
}

TEST(BlockCompression, EveryContentDecodesWithThePlainDecoder)
{
    struct content_case {
        const char* name;
        bytes content;
    };
    bytes mixed = text(3 * segment + 12345, 5);
    const bytes random_run = noise(segment + 300, 6);
    std::memcpy(mixed.data() + segment / 2, random_run.data(), random_run.size());  // spans a cut
    const content_case cases[] = {
        {"one byte", bytes(1, std::byte{7})},
        {"short text", text(100, 1)},
        {"a segment less one byte", text(segment - 1, 2)},
        {"exactly a segment", text(segment, 3)},
        {"a segment and one byte", text(segment + 1, 4)},
        {"text with incompressible runs across cuts", mixed},
        {"incompressible, several segments", noise(2 * segment + 999, 7)},
        {"zeros, several segments", bytes(5 * segment / 2, std::byte{0})},
    };
    tavik::io::page_buffer_pool pool;
    for (const content_case& c : cases) {
        SCOPED_TRACE(c.name);
        const bytes block = compress(c.content, pool);
        EXPECT_LE(block.size(), compressed_bound(static_cast<std::uint32_t>(c.content.size())));
        EXPECT_EQ(decompress(block.data(), static_cast<std::uint32_t>(block.size()), c.content.size()), c.content);
    }
}

TEST(BlockCompression, OneSegmentGivesTheBytesOfOnePassAndMoreCostAlmostNothing)
{
    tavik::io::page_buffer_pool pool;
    std::vector<char> reference;

    const bytes small = text(segment, 11);
    const bytes block = compress(small, pool);
    const int c = one_pass(small, reference);
    ASSERT_GT(c, 0);
    EXPECT_EQ(block, bytes(reinterpret_cast<const std::byte*>(reference.data()),
                           reinterpret_cast<const std::byte*>(reference.data()) + c));

    // The prefix of each segment keeps the matches across the cuts: a few bytes per cut at most.
    const bytes large = text(6 * segment + 777, 12);
    const bytes joined = compress(large, pool);
    const int whole = one_pass(large, reference);
    ASSERT_GT(whole, 0);
    EXPECT_LT(double(joined.size()), whole * 1.002);
    // The same content always gives the same bytes, however the segments were shared out.
    EXPECT_EQ(compress(large, pool), joined);
}

TEST(BlockCompression, JoinsPartsThatEndOrConsistOfLiteralsOnly)
{
    // Independent blocks (no part reaches into another) joined in order decode to the pieces in
    // order, also when parts hold no match at all and their literals pile up across several parts,
    // and when the literal runs need length bytes (15 and 270 and more).
    const std::vector<bytes> pieces = {text(5000, 21), bytes{std::byte{'x'}, std::byte{'y'}}, noise(12, 22),
                                       noise(300, 23), text(40, 24), bytes(64, std::byte{'a'}), noise(9, 25)};
    std::vector<bytes> parts;
    bytes whole;
    std::uint64_t total = 0;
    for (const bytes& piece : pieces) {
        std::vector<char> out;
        const int c = one_pass(piece, out);
        ASSERT_GT(c, 0);
        parts.emplace_back(reinterpret_cast<const std::byte*>(out.data()),
                           reinterpret_cast<const std::byte*>(out.data()) + c);
        whole.insert(whole.end(), piece.begin(), piece.end());
        total += c;
    }
    std::vector<const std::byte*> starts;
    std::vector<std::uint32_t> lengths;
    for (const bytes& part : parts) {
        starts.push_back(part.data());
        lengths.push_back(static_cast<std::uint32_t>(part.size()));
    }
    bytes joined(total);
    std::uint64_t length = 0;
    ASSERT_TRUE(join_lz4_blocks(starts.data(), lengths.data(), parts.size(), joined.data(), length));
    EXPECT_LE(length, total);
    EXPECT_EQ(decompress(joined.data(), static_cast<std::uint32_t>(length), whole.size()), whole);

    // A part cut short is refused, not joined into garbage.
    lengths[0] -= 3;
    EXPECT_FALSE(join_lz4_blocks(starts.data(), lengths.data(), parts.size(), joined.data(), length));
}

TEST(BlockCompression, ACancelledOperationCompressesNothing)
{
    tavik::io::page_buffer_pool pool;
    tavik::details::cancellation_source cancel;
    cancel.cancel();
    EXPECT_THROW(compress(text(3 * segment, 31), pool, &cancel), tavik::details::operation_cancelled);
}

// Many contents at once from several threads share the workers: every one comes back whole.
TEST(BlockCompression, ConcurrentContentsShareTheWorkersStress)
{
    constexpr int threads = 6;
    constexpr int rounds = 3;
    std::vector<bytes> contents;
    for (int i = 0; i < threads; ++i)
        contents.push_back(text(segment * (1 + i % 3) + 1000 * i + 1, 40 + i));
    std::vector<bytes> expected;
    {
        tavik::io::page_buffer_pool pool;
        for (const bytes& content : contents)
            expected.push_back(compress(content, pool));
    }
    std::vector<int> failures(threads, 0);
    std::vector<std::thread> running;
    for (int t = 0; t < threads; ++t) {
        running.emplace_back([&, t] {
            tavik::io::page_buffer_pool pool;
            for (int r = 0; r < rounds; ++r) {
                const bytes& content = contents[(t + r) % threads];
                const bytes block = compress(content, pool);
                if (block != expected[(t + r) % threads] ||
                    decompress(block.data(), static_cast<std::uint32_t>(block.size()), content.size()) != content)
                    ++failures[t];
            }
        });
    }
    for (auto& thread : running)
        thread.join();
    for (int t = 0; t < threads; ++t)
        EXPECT_EQ(failures[t], 0) << "thread " << t;
}

} // namespace
} // namespace dedup
