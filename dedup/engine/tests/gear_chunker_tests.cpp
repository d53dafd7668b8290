#include <dedup/engine/gear_chunker.h>

#include "chunk_test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>

namespace {

using namespace dedup;
using namespace dedup::testing;

constexpr std::size_t piece = max_pending_length;

// Cuts `data` fed in pieces of `piece_length` bytes (the whole at once for 0), then finishes.
recording_sink cut(const bytes& data, std::size_t piece_length = piece)
{
    recording_sink sink;
    page_buffer_pool pool;
    {
        gear_chunker chunker(pool, sink);
        std::size_t step = piece_length == 0 ? std::max<std::size_t>(data.size(), 1) : piece_length;
        for (std::size_t at = 0; at < data.size(); at += step) {
            std::size_t n = std::min(step, data.size() - at);
            run(chunker.feed(data.data() + at, std::int32_t(n)));
        }
        run(chunker.finish());
    }
    EXPECT_EQ(sink.content, data) << "the chunks put together are the data";
    EXPECT_EQ(pool.size(), 1u) << "the carry goes back to the pool";
    return sink;
}

bool qualifies(std::uint64_t hash)
{
    return (hash & gear_cut_mask) == 0;
}

// `pad` zero bytes, the window, and zeros up to `total`.
bytes with_window_ending_at(const bytes& window, std::size_t end, std::size_t total)
{
    bytes data(total, std::byte{0});
    std::copy(window.begin(), window.end(), data.begin() + std::ptrdiff_t(end - window.size()));
    return data;
}

// 64 bytes after which the Gear hash qualifies, whatever came before (one window in 8192 does),
// such that placed to end at byte 300 after zeros no earlier position from byte 256 on qualifies.
// Zeros settle 64 bytes after the window at a hash that never qualifies, so in such data the
// window's last byte is the only candidate cut at or after byte 256.
bytes qualifying_window()
{
    for (std::uint32_t seed = 1;; ++seed) {
        bytes w = random_bytes(seed, 64);
        bytes data = with_window_ending_at(w, 300, 300);
        std::uint64_t h = 0;
        std::size_t first = 0;
        for (std::size_t i = 0; i < data.size() && first == 0; ++i) {
            h = gear_table[std::uint8_t(data[i])] + 2 * h;
            if (i + 1 >= min_chunk_length && qualifies(h))
                first = i + 1;
        }
        if (first == 300)
            return w;
    }
}

TEST(GearTable, ValuesAreDistinctAndKeepTheirFixedEntries)
{
    std::set<std::uint64_t> distinct(gear_table.begin(), gear_table.end());
    EXPECT_EQ(distinct.size(), 256u);
    EXPECT_EQ(gear_table[0], 0xB088D3A9E840F559ull);
    EXPECT_EQ(gear_table[1], 0x5652C7F739ED20D6ull);
    EXPECT_EQ(gear_table[2], 0x45B28969898972ABull);
    EXPECT_EQ(gear_table[3], 0x6B0A89D5B68EC777ull);
    EXPECT_EQ(gear_table[254], 0xCC8BAB4939F7F3F6ull);
    EXPECT_EQ(gear_table[255], 0x63C7A906C1DD187Bull);
}

// A run of one byte value never qualifies once it is 64 bytes long, whatever preceded it, so long
// runs (zeros of sparse files, padding) cut only at the 256 KiB limit.
TEST(GearTable, NoConstantRunQualifiesAfterItsFirst64Bytes)
{
    for (int value = 0; value < 256; ++value) {
        for (std::uint64_t start : {std::uint64_t(0), ~std::uint64_t(0), 0x0123456789ABCDEFull}) {
            std::uint64_t h = start;
            for (int i = 0; i < 64; ++i)
                h = gear_table[value] + 2 * h;
            bytes run_bytes(4096, std::byte(value));
            std::uint64_t settled = h;
            EXPECT_EQ(gear_chunker::find_cut(reinterpret_cast<const std::uint8_t*>(run_bytes.data()), 0,
                                             run_bytes.size(), 0, h),
                      gear_chunker::no_cut)
                << "byte value " << value;
            EXPECT_EQ(h, settled) << "the hash of a long run stays where it settled";
        }
    }
}

TEST(GearChunker, ConstantRunsCutOnlyAtTheLimit)
{
    for (int value : {0x00, 0x01, 0x20, 0x7F, 0xFF}) {
        recording_sink sink = cut(bytes(2 * piece + 1000, std::byte(value)));
        EXPECT_EQ(sink.lengths, (std::vector<std::uint32_t>{piece, piece, 1000})) << "byte value " << value;
    }
}

// Zero-filled data (a sparse or preallocated file) cuts into equal chunks, stored as one block.
TEST(GearChunker, ZerosCutIntoEqualChunks)
{
    recording_sink sink = cut(bytes(8 * piece, std::byte{0}));
    ASSERT_EQ(sink.lengths.size(), 8u);
    EXPECT_EQ(std::set<std::uint32_t>(sink.lengths.begin(), sink.lengths.end()), std::set<std::uint32_t>{piece});
    EXPECT_TRUE(std::all_of(sink.keys.begin(), sink.keys.end(), [&](const block_key& k) { return k == sink.keys[0]; }));
}

TEST(GearChunker, SmallStreamsAreOneChunk)
{
    for (std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(100), std::size_t(255), std::size_t(4096)}) {
        recording_sink sink = cut(random_bytes(7, size));
        if (size == 0) {
            EXPECT_TRUE(sink.lengths.empty());
        } else if (size <= 256) {
            EXPECT_EQ(sink.lengths, std::vector<std::uint32_t>{std::uint32_t(size)}) << size;
        }
        for (std::size_t i = 0; i + 1 < sink.lengths.size(); ++i) {
            EXPECT_GE(sink.lengths[i], min_chunk_length);
        }
    }
}

// Streams of exactly one piece and one byte more: random data cuts at content-defined points,
// every chunk but the last at least 256 bytes and every chunk below 512 KiB.
TEST(GearChunker, ChunkLengthsStayInBounds)
{
    for (std::size_t size : {piece - 1, piece, piece + 1, 5 * piece + 17}) {
        recording_sink sink = cut(random_bytes(11, size));
        ASSERT_FALSE(sink.lengths.empty());
        EXPECT_GT(sink.lengths.size(), 5u) << "random data cuts every few KiB";
        for (std::size_t i = 0; i < sink.lengths.size(); ++i) {
            if (i + 1 < sink.lengths.size()) {
                EXPECT_GE(sink.lengths[i], min_chunk_length);
            }
            EXPECT_LT(sink.lengths[i], 2 * piece);
        }
    }
}

// A qualifying hash 100 bytes into the stream is no cut (too short); 300 bytes in it is, also when
// the chunk reaches over several pieces and goes through the carry.
TEST(GearChunker, QualifyingPositionsCutOnlyAfterTheMinimumLength)
{
    bytes window = qualifying_window();
    recording_sink early = cut(with_window_ending_at(window, 100, 2000));
    EXPECT_EQ(early.lengths, std::vector<std::uint32_t>{2000});

    bytes late = with_window_ending_at(window, 300, 2000);
    for (std::size_t piece_length : {std::size_t(0), std::size_t(150), std::size_t(299), std::size_t(7)}) {
        recording_sink sink = cut(late, piece_length);
        EXPECT_EQ(sink.lengths, (std::vector<std::uint32_t>{300, 1700})) << "pieces of " << piece_length;
    }
}

// After a content-defined cut, what is left of the piece waits in the carry; the next piece
// without a cut joins it and the two go on as one chunk of nearly 512 KiB.
TEST(GearChunker, PendingBytesAreCutAtThePieceEndOnceTheyReachTheLimit)
{
    bytes data = with_window_ending_at(qualifying_window(), 300, 2 * piece + 10);
    recording_sink sink = cut(data);
    EXPECT_EQ(sink.lengths, (std::vector<std::uint32_t>{300, 2 * piece - 300, 10}));
}

// The hash runs on across cuts and pieces: content cuts at the same places whichever way it is
// split into pieces. (Data without a qualifying position for 256 KiB is the exception: there the
// limit cuts at the end of a piece, which the reader places at multiples of 256 KiB.)
TEST(GearChunker, CutsDoNotDependOnHowTheDataArrives)
{
    bytes data = random_bytes(21, 3 * piece + 12345);
    recording_sink whole = cut(data, 0);
    ASSERT_GT(whole.lengths.size(), 50u);
    for (std::size_t piece_length : {piece, std::size_t(100000), std::size_t(4096), std::size_t(333)}) {
        recording_sink sink = cut(data, piece_length);
        EXPECT_EQ(sink.lengths, whole.lengths) << "pieces of " << piece_length;
    }
}

// One byte inserted near the start changes the chunk around it only: every later cut moves with
// the content, and the later chunks are the same blocks.
TEST(GearChunker, AnInsertedByteChangesOnlyTheChunksAroundIt)
{
    bytes data = random_bytes(31, 4 << 20);
    bytes shifted = data;
    shifted.insert(shifted.begin() + 1000, std::byte{0x5A});

    recording_sink a = cut(data);
    recording_sink b = cut(shifted);
    ASSERT_GT(a.keys.size(), 200u);
    std::set<std::pair<std::uint64_t, std::uint64_t>> before;
    for (const block_key& k : a.keys)
        before.insert({k.low, k.high});
    std::size_t new_chunks = 0;
    for (const block_key& k : b.keys)
        new_chunks += before.count({k.low, k.high}) == 0;
    EXPECT_LE(new_chunks, 2u);
    EXPECT_LE(std::max(a.keys.size(), b.keys.size()) - std::min(a.keys.size(), b.keys.size()), 1u);
}

TEST(GearChunker, TheHashRunsOnAcrossCuts)
{
    bytes data = random_bytes(41, 100000);
    recording_sink sink;
    page_buffer_pool pool;
    gear_chunker chunker(pool, sink);
    run(chunker.feed(data.data(), std::int32_t(data.size())));
    ASSERT_GT(sink.lengths.size(), 2u);
    std::uint64_t h = 0;
    for (std::byte b : data)
        h = gear_table[std::uint8_t(b)] + 2 * h;
    EXPECT_EQ(chunker.hash(), h);
    EXPECT_EQ(chunker.carried() + sink.content.size(), data.size());
}

TEST(GearChunker, ASinkFailureEndsTheFeed)
{
    recording_sink sink;
    sink.fail_at = 1;
    page_buffer_pool pool;
    gear_chunker chunker(pool, sink);
    bytes data = random_bytes(51, 100000);
    EXPECT_EQ(hresult_of([&] { run(chunker.feed(data.data(), std::int32_t(data.size()))); }),
              static_cast<long>(0x887A0035));
    EXPECT_EQ(sink.lengths.size(), 1u);
}

} // namespace
