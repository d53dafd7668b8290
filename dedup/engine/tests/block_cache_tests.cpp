// Reading blocks back: loading block files on demand, the cache limit, idle eviction, views and
// the lock that they hold.

#include "store_test_support.h"

#include <dedup/engine/async_shared_lock.h>
#include <dedup/engine/block_store.h>
#include <dedup/engine/block_writer.h>
#include <dedup/engine/store_names.h>

#include <gtest/gtest.h>

#include <tavik/lock_guard.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <thread>

namespace dedup {
namespace {

using namespace dedup::testing;
using namespace std::chrono_literals;

constexpr int level = 7;
constexpr std::uint64_t second = 10'000'000;

bytes to_vector(std::span<const std::byte> s) { return bytes(s.begin(), s.end()); }

// Waits (bounded) until `condition` holds.
template <class F>
bool eventually(F&& condition)
{
    for (int i = 0; i < 500; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

class BlockCache : public ::testing::Test {
protected:
    void SetUp() override
    {
        make_folder(blocks);
        // Six block files of one 4 KiB block each (numbers 0, 3, 4, 5, 6, 7).
        block_store store(block_store_options{nullptr, {}, 0, 0, false});
        store.init(blocks, 4096);
        ASSERT_FALSE(store.open_store());
        auto writer = make_block_writer(store);
        for (std::uint32_t seed = 0; seed < 6; ++seed) {
            contents.push_back(random_bytes(seed, 4096));
            ASSERT_TRUE(run(writer->add_block(key_of(contents.back()), contents.back().data(), 4096,
                                              block_kind::data, level)));
        }
        run(complete_compression(*writer, level));
        run(save_block_index(*writer));
    }

    std::unique_ptr<block_store> open(std::uint32_t cache_limit = 16)
    {
        block_store_options options;
        options.file_system = &fs;
        options.clock = [this] { return clock.load(); };
        options.cache_limit = cache_limit;
        options.eviction_timer = false;
        auto store = std::make_unique<block_store>(options);
        store->init(blocks, 4096);
        EXPECT_FALSE(store->open_store());
        return store;
    }

    block_file* file_of(block_store& store, std::size_t i) { return store.index().at(key_of(contents[i])).file; }

    void read(block_store& store, std::size_t i)
    {
        EXPECT_EQ(to_vector(run(fetch_block(store, key_of(contents[i]))).bytes()), contents[i]);
    }

    temp_folder folder;
    std::wstring blocks = folder / L"blocks";
    std::vector<bytes> contents;
    fault_file_system fs;
    std::atomic<std::uint64_t> clock{1000 * second};
};

TEST_F(BlockCache, TwoReadersOfOneColdFileLoadItOnce)
{
    for (int round = 0; round < 20; ++round) {
        fault_file_system counting;
        block_store store(block_store_options{&counting, {}, 0, 0, false});
        store.init(blocks, 4096);
        ASSERT_FALSE(store.open_store());
        bytes seen[2];
        std::thread readers[2];
        for (int r = 0; r < 2; ++r)
            readers[r] = std::thread([&, r] { seen[r] = to_vector(run(fetch_block(store, key_of(contents[0]))).bytes()); });
        for (auto& t : readers)
            t.join();
        EXPECT_EQ(counting.opens(), 1u);
        EXPECT_EQ(seen[0], contents[0]);
        EXPECT_EQ(seen[1], contents[0]);
        EXPECT_EQ(store.hot_count(), 1u);
    }
}

TEST_F(BlockCache, AFullCacheUnloadsTheEarliestFileThatNobodyReads)
{
    auto store = open(4);
    for (std::size_t i = 0; i < 4; ++i)
        read(*store, i);
    EXPECT_EQ(store->hot_count(), 4u);

    {
        // File 0 is being read: the fifth load unloads file 1 instead.
        block_view held = run(fetch_block(*store, key_of(contents[0])));
        read(*store, 4);
        EXPECT_TRUE(file_of(*store, 0)->loaded);
        EXPECT_FALSE(file_of(*store, 1)->loaded);
        EXPECT_EQ(store->hot_count(), 4u);
        EXPECT_EQ(store->cold_count(), 2u);
    }
    // Nobody reads file 0 now: it is the earliest loaded and goes first.
    read(*store, 5);
    EXPECT_FALSE(file_of(*store, 0)->loaded);
    EXPECT_EQ(store->hot_count(), 4u);
    EXPECT_EQ(fs.opens(), 6u);
}

TEST_F(BlockCache, ACacheThatGrewPastItsLimitShrinksAgain)
{
    auto store = open(2);
    std::vector<block_view> held;
    for (std::size_t i = 0; i < 4; ++i)
        held.push_back(run(fetch_block(*store, key_of(contents[i]))));
    EXPECT_EQ(store->hot_count(), 4u) << "every loaded file is in use";
    held.clear();
    read(*store, 4);
    read(*store, 5);
    EXPECT_EQ(store->hot_count(), 4u) << "each load past the limit unloads one file";
    EXPECT_FALSE(file_of(*store, 0)->loaded);
    EXPECT_FALSE(file_of(*store, 1)->loaded);
}

TEST_F(BlockCache, IdleFilesAreUnloadedAndThePoolEmptied)
{
    auto store = open();
    read(*store, 0);
    read(*store, 1);
    clock += 20 * second;
    read(*store, 0);  // read again: stays
    clock += 15 * second;
    store->evict_idle_files();
    EXPECT_TRUE(file_of(*store, 0)->loaded);
    EXPECT_FALSE(file_of(*store, 1)->loaded);
    EXPECT_GT(store->pool().size(), 0u);

    {
        block_view held = run(fetch_block(*store, key_of(contents[0])));
        clock += 100 * second;
        store->evict_idle_files();
        EXPECT_TRUE(file_of(*store, 0)->loaded) << "a file in use is never unloaded";
    }
    clock += 31 * second;
    store->evict_idle_files();
    EXPECT_FALSE(file_of(*store, 0)->loaded);
    EXPECT_EQ(store->hot_count(), 0u);
    EXPECT_EQ(store->pool().size(), 0u);

    // The next read loads it again.
    read(*store, 0);
    EXPECT_EQ(store->hot_count(), 1u);
}

TEST_F(BlockCache, DestroyingAStoreStopsItsEvictionTimer)
{
    for (int round = 0; round < 5; ++round) {
        auto store = std::make_unique<block_store>();
        store->init(blocks, 4096);
        ASSERT_FALSE(store->open_store());
        read(*store, round);
        EXPECT_EQ(store->hot_count(), 1u);
        store.reset();  // the timer is armed: it must be stopped and waited for, not left to fire
    }
}

TEST_F(BlockCache, AViewMayBeReleasedOnAnotherThread)
{
    auto store = open();
    block_view view = run(fetch_block(*store, key_of(contents[2])));
    block_file* file = view.file();
    EXPECT_EQ(file->lock.holders(), 1);
    std::thread([v = std::move(view)]() mutable { v.reset(); }).join();
    EXPECT_EQ(file->lock.holders(), 0);
    clock += 100 * second;
    store->evict_idle_files();
    EXPECT_FALSE(file->loaded);
}

TEST_F(BlockCache, TheWholeContentIncludesThePaddingOfARawFile)
{
    auto store = open();
    bytes small = random_bytes(99, 1000);
    {
        auto writer = make_block_writer(*store);
        ASSERT_TRUE(run(writer->add_block(key_of(small), small.data(), 1000, block_kind::data, level)));
        run(complete_compression(*writer, level));
        run(save_block_index(*writer));
    }
    block_file* file = store->index().at(key_of(small)).file;
    block_view whole = run(get_block_data(block_file_ref(file), 0, 0));
    EXPECT_EQ(whole.size(), 1024u);
    EXPECT_EQ(to_vector(whole.bytes().first(1000)), small);
    whole.reset();

    EXPECT_EQ(hresult_of([&] { run(get_block_data(block_file_ref(file), 1000, 25)); }), damaged_block_file)
        << "a range past the content";
    EXPECT_EQ(file->lock.holders(), 0);
}

TEST_F(BlockCache, AnAbsentKeyLoadsNothing)
{
    auto store = open();
    EXPECT_TRUE(run(fetch_block(*store, key_of(to_bytes("nowhere")))).empty());
    EXPECT_EQ(fs.opens(), 0u);
    EXPECT_EQ(store->hot_count(), 0u);
}

TEST_F(BlockCache, PurgeLeavesAFileThatAReaderHolds)
{
    auto store = open();
    block_view held = run(fetch_block(*store, key_of(contents[3])));
    {
        auto writer = make_block_writer(*store);
        ASSERT_TRUE(writer->release_block(key_of(contents[3])));
        run(complete_compression(*writer, level));
        run(save_block_index(*writer));
    }
    const auto path = held.file()->path();
    EXPECT_EQ(store->purge_blocks(), 0u);
    EXPECT_TRUE(file_exists(path));
    EXPECT_EQ(to_vector(held.bytes()), contents[3]);
    held.reset();
    EXPECT_EQ(store->purge_blocks(), 1u);
    EXPECT_FALSE(file_exists(path));
}

TEST_F(BlockCache, ReadersRacingWithLoadsAndEvictionsAlwaysSeeTheirBytes)
{
    auto store = open(2);
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            for (int i = 0; i < 60; ++i) {
                std::size_t which = (t * 7 + i * 5) % contents.size();
                block_view view = run(fetch_block(*store, key_of(contents[which])));
                if (to_vector(view.bytes()) != contents[which])
                    ++wrong;
                if (i % 10 == 0) {
                    clock += 40 * second;
                    store->evict_idle_files();
                }
            }
        });
    }
    for (auto& t : readers)
        t.join();
    EXPECT_EQ(wrong.load(), 0);
    EXPECT_LE(store->hot_count(), 2u + 4u);
}

// A thread pool with no work to spare: every submission is refused.
BOOL WINAPI refuse(PTP_SIMPLE_CALLBACK, PVOID, PTP_CALLBACK_ENVIRON)
{
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
}

// Bounded stress: the pool refuses the resumption of every reader that queued on a block file's
// lock while the eviction (or a full cache's load) tried it under the store lock. Such a reader
// runs on the evicting thread; under the store lock it would deadlock on its own way to that
// lock. A deadlock ends the process after 60 s instead of hanging the run.
TEST_F(BlockCache, ReadersQueuedBehindAnEvictionRunAfterTheStoreLockWhenThePoolRefuses)
{
    block_store_options options;
    options.file_system = &fs;
    options.clock = [this] { return clock.load(); };
    options.cache_limit = 2;
    options.eviction_timer = false;
    options.submit = &refuse;
    auto store = std::make_unique<block_store>(options);
    store->init(blocks, 4096);
    ASSERT_FALSE(store->open_store());

    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        for (int i = 0; i < 6000 && !done.load(); ++i)
            std::this_thread::sleep_for(10ms);
        if (!done.load()) {
            std::fputs("deadlock: a reader was resumed under the store lock\n", stderr);
            std::fflush(stderr);
            TerminateProcess(GetCurrentProcess(), 3);
        }
    });
    std::atomic<int> wrong{0};
    std::atomic<bool> readers_done{false};
    std::thread evictor([&] {
        while (!readers_done.load()) {
            clock += 40 * second;
            store->evict_idle_files();
        }
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&, t] {
            for (int i = 0; i < 400; ++i) {
                std::size_t which = (t * 7 + i * 5) % contents.size();
                block_view view = run(fetch_block(*store, key_of(contents[which])));
                if (to_vector(view.bytes()) != contents[which])
                    ++wrong;
            }
        });
    }
    for (auto& t : readers)
        t.join();
    readers_done = true;
    evictor.join();
    done = true;
    watchdog.join();
    EXPECT_EQ(wrong.load(), 0);
}

// ---------------------------------------------------------------------------------------------

tavik::details::future<void> take(async_shared_lock& lock, bool exclusive, std::atomic<int>& got)
{
    if (exclusive)
        co_await lock.lock();
    else
        co_await lock.lock_shared();
    ++got;
}

TEST(AsyncSharedLock, ServesWaitersInOrderAndMayBeReleasedAnywhere)
{
    async_shared_lock lock;
    std::atomic<int> writer{0}, late_reader{0};
    ASSERT_TRUE(lock.try_lock_shared());
    auto w = take(lock, true, writer);          // waits for the reader
    EXPECT_FALSE(lock.try_lock_shared()) << "a reader does not overtake a waiting writer";
    auto r = take(lock, false, late_reader);    // queued behind the writer
    EXPECT_EQ(writer.load(), 0);
    std::thread([&] { lock.unlock_shared(); }).join();
    ASSERT_TRUE(eventually([&] { return writer.load() == 1; }));
    EXPECT_EQ(late_reader.load(), 0);
    EXPECT_EQ(lock.holders(), -1);

    // From exclusive straight to shared: the queued reader comes in, no writer can slip between.
    lock.downgrade();
    ASSERT_TRUE(eventually([&] { return late_reader.load() == 1; }));
    EXPECT_EQ(lock.holders(), 2);
    EXPECT_FALSE(lock.try_lock());
    lock.unlock_shared();
    lock.unlock_shared();
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
    run(std::move(w));
    run(std::move(r));
}

tavik::details::future<void> take_then_try(async_shared_lock& lock, SRWLOCK& other, std::atomic<int>& got,
                                           std::atomic<bool>& other_was_free)
{
    co_await lock.lock_shared();
    if (TryAcquireSRWLockExclusive(&other)) {
        other_was_free = true;
        ReleaseSRWLockExclusive(&other);
    }
    ++got;
    lock.unlock_shared();
}

TEST(AsyncSharedLock, AReleaseUnderAnotherLockResumesItsWaiterOnlyOnceThatLockIsReleased)
{
    async_shared_lock lock;
    SRWLOCK other = SRWLOCK_INIT;
    std::atomic<int> got{0};
    std::atomic<bool> other_was_free{false};
    ASSERT_TRUE(lock.try_lock());
    auto waiter = take_then_try(lock, other, got, other_was_free);
    {
        // The pool refuses: the waiter runs on this thread, which must not hold `other` then.
        async_shared_lock::deferred_resumptions later(&refuse);
        tavik::details::exclusive_lock_guard guard(other);
        lock.unlock(later);
        EXPECT_EQ(got.load(), 0);
    }
    EXPECT_EQ(got.load(), 1);
    EXPECT_TRUE(other_was_free.load());
    run(std::move(waiter));
    EXPECT_EQ(lock.holders(), 0);
}

} // namespace
} // namespace dedup
