#include <tavik/io/page_buffer.h>

#include <gtest/gtest.h>

#include <cstring>
#include <thread>
#include <vector>

using tavik::io::page_buffer;
using tavik::io::page_buffer_pool;

TEST(PageBuffer, ReserveRoundsUpToWholePagesAndAligns)
{
    struct {
        std::uint32_t size, capacity;
    } cases[] = {{1, 4096}, {4096, 4096}, {4097, 8192}, {20480, 20480}, {262145, 266240}};
    for (auto c : cases) {
        page_buffer b;
        b.reserve(c.size);
        EXPECT_EQ(b.capacity, c.capacity) << c.size;
        EXPECT_EQ(reinterpret_cast<std::uintptr_t>(b.data) % 4096, 0u) << c.size;
        EXPECT_EQ(b.used, 0u);
    }
}

TEST(PageBuffer, GrowingKeepsTheUsedBytes)
{
    page_buffer b;
    b.reserve(100);
    for (int i = 0; i < 4096; ++i)
        b.data[i] = std::byte(i * 7);
    b.used = 3000;
    b.reserve(2 * b.capacity);
    ASSERT_EQ(b.capacity, 8192u);
    EXPECT_EQ(b.used, 3000u);
    for (int i = 0; i < 3000; ++i)
        ASSERT_EQ(b.data[i], std::byte(i * 7)) << i;
}

TEST(PageBuffer, SizesNearFourGibibytesFailInsteadOfWrapping)
{
    page_buffer b;
    EXPECT_THROW(b.reserve(0xFFFFFFFFu), std::bad_alloc);
    EXPECT_EQ(b.data, nullptr);
    EXPECT_EQ(b.capacity, 0u);
}

TEST(PageBuffer, MovingLeavesTheSourceEmptyAndReleaseFrees)
{
    page_buffer a;
    a.reserve(5000);
    a.used = 17;
    std::byte* memory = a.data;

    page_buffer b(std::move(a));
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.used, 0u);
    EXPECT_EQ(a.capacity, 0u);
    EXPECT_EQ(b.data, memory);
    EXPECT_EQ(b.used, 17u);
    EXPECT_EQ(b.capacity, 8192u);

    page_buffer c;
    c.reserve(1);
    c = std::move(b);
    EXPECT_EQ(c.data, memory);
    EXPECT_EQ(b.data, nullptr);

    c.release();
    EXPECT_EQ(c.data, nullptr);
    EXPECT_EQ(c.capacity, 0u);
    MEMORY_BASIC_INFORMATION info{};
    ASSERT_NE(VirtualQuery(memory, &info, sizeof info), 0u);
    EXPECT_EQ(info.State, DWORD(MEM_FREE));
}

TEST(PageBufferPool, TakeGivesTheMostRecentlyGivenBufferOrAnEmptyOne)
{
    page_buffer_pool pool;
    page_buffer empty = pool.take();
    EXPECT_EQ(empty.data, nullptr);
    EXPECT_EQ(empty.capacity, 0u);

    page_buffer first, second;
    first.reserve(4096);
    second.reserve(8192);
    std::byte* first_memory = first.data;
    std::byte* second_memory = second.data;
    pool.give(std::move(first));
    pool.give(std::move(second));
    EXPECT_EQ(pool.size(), 2u);

    EXPECT_EQ(pool.take().data, second_memory);
    page_buffer again = pool.take();
    EXPECT_EQ(again.data, first_memory);
    EXPECT_EQ(pool.take().data, nullptr);

    pool.give(std::move(again));
    pool.free_all();
    EXPECT_EQ(pool.size(), 0u);
    EXPECT_EQ(pool.take().data, nullptr);
}

// A pool that goes idle hands its buffers on, keeping the largest; a taker of a size gets the
// smallest buffer that holds it within its bound, so a small load never takes the large buffer.
TEST(PageBufferPool, SpareBuffersKeepTheLargestAndFitTheirTaker)
{
    auto buffer_of = [](std::uint32_t size) {
        page_buffer buffer;
        buffer.reserve(size);
        return buffer;
    };
    page_buffer_pool spare;
    spare.give(buffer_of(8192));
    page_buffer_pool store;
    store.give(buffer_of(4096));
    store.give(page_buffer());
    store.give(buffer_of(64 * 4096));
    store.give(buffer_of(16 * 4096));
    store.spill_into(spare, 2);
    EXPECT_EQ(store.size(), 0u);
    ASSERT_EQ(spare.size(), 2u);

    EXPECT_EQ(spare.take_fitting(100, 4096).data, nullptr);  // nothing small enough is left
    page_buffer middle = spare.take_fitting(100);
    EXPECT_EQ(middle.capacity, 16u * 4096);
    EXPECT_EQ(spare.take_fitting(65 * 4096).data, nullptr);
    EXPECT_EQ(spare.take_fitting(64 * 4096).capacity, 64u * 4096);
    EXPECT_EQ(spare.size(), 0u);
}

// Many coroutines of one store share a pool: no buffer may be handed to two takers at once or lost.
TEST(PageBufferPool, ConcurrentTakeAndGiveNeverShareABuffer)
{
    page_buffer_pool pool;
    constexpr int threads = 8, rounds = 2000;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&pool, t] {
            for (int i = 0; i < rounds; ++i) {
                page_buffer b = pool.take();
                if (b.capacity == 0)
                    b.reserve(4096);
                // Stamp the buffer and check nobody else wrote to it meanwhile.
                std::memset(b.data, t + 1, 64);
                b.used = 64;
                for (int k = 0; k < 64; ++k)
                    ASSERT_EQ(b.data[k], std::byte(t + 1));
                pool.give(std::move(b));
            }
        });
    }
    for (auto& w : workers)
        w.join();
    EXPECT_LE(pool.size(), std::size_t(threads));
    EXPECT_GE(pool.size(), 1u);
}
