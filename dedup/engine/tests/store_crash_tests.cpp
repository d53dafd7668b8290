// Crash safety of the store files: a failure or a power cut injected at each write, flush and
// rename of an operation leaves a store that loads as the state before the operation or the state
// after it, never a mix, and that goes on working.

#include "store_test_support.h"

#include <dedup/engine/block_store.h>
#include <dedup/engine/block_writer.h>
#include <dedup/engine/durable_replace.h>
#include <dedup/engine/store_names.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace dedup {
namespace {

using namespace dedup::testing;

constexpr int level = 7;
constexpr std::uint32_t limit = 8 * 1024;

using contents_map = std::map<std::pair<std::uint64_t, std::uint64_t>, std::pair<bytes, std::uint32_t>>;

struct expected_state {
    contents_map blocks;  // key -> content, references

    void add(const bytes& content)
    {
        auto& slot = blocks[{key_of(content).low, key_of(content).high}];
        slot.first = content;
        ++slot.second;
    }
    void release(const bytes& content)
    {
        auto it = blocks.find({key_of(content).low, key_of(content).high});
        if (it != blocks.end() && --it->second.second == 0)
            blocks.erase(it);
    }
};

bytes to_vector(std::span<const std::byte> s) { return bytes(s.begin(), s.end()); }

std::vector<bytes> first_blocks()
{
    std::vector<bytes> b;
    for (std::uint32_t seed = 0; seed < 8; ++seed)
        b.push_back(random_bytes(seed, 4096));  // files 0, 3, 4, 5
    b.push_back(repeating_bytes(50, 3000));      // a compressed file
    return b;
}

std::vector<bytes> second_blocks()
{
    std::vector<bytes> b;
    for (std::uint32_t seed = 100; seed < 106; ++seed)
        b.push_back(random_bytes(seed, 4096));
    b.push_back(repeating_bytes(150, 5000));
    return b;
}

tavik::details::future<void> add_all(block_writer& writer, const std::vector<bytes>& blocks)
{
    for (const auto& b : blocks) {
        bool added = co_await writer.add_block(key_of(b), b.data(), static_cast<std::uint32_t>(b.size()),
                                               block_kind::data, level);
        if (!added)
            throw std::logic_error("collision");
    }
}

// The operation under test: releases every block of files 0 and 3 and one of file 4, adds new
// blocks, writes and commits, and purges.
void second_operation(block_store& store)
{
    auto writer = make_block_writer(store);
    auto first = first_blocks();
    for (int i : {0, 1, 2, 3, 4})
        writer->release_block(key_of(first[i]));
    run(add_all(*writer, second_blocks()));
    run(complete_compression(*writer, level));
    run(save_block_index(*writer));
    store.purge_blocks();
}

expected_state state_before()
{
    expected_state s;
    for (const auto& b : first_blocks())
        s.add(b);
    return s;
}

expected_state state_after()
{
    expected_state s = state_before();
    auto first = first_blocks();
    for (int i : {0, 1, 2, 3, 4})
        s.release(first[i]);
    for (const auto& b : second_blocks())
        s.add(b);
    return s;
}

// The state a store holds: its index, with every block read back.
contents_map loaded_state(block_store& store)
{
    contents_map result;
    std::vector<block_key> keys;
    for (const auto& [key, entry] : store.index())
        keys.push_back(key);
    for (const auto& key : keys) {
        std::uint32_t references = store.index().at(key).references;
        block_view view = run(fetch_block(store, key));
        result[{key.low, key.high}] = {to_vector(view.bytes()), references};
    }
    return result;
}

class StoreCrash : public ::testing::Test {
protected:
    std::unique_ptr<block_store> open(store_file_system* fs, bool empty_tree = false)
    {
        auto store = std::make_unique<block_store>(block_store_options{fs, {}, 0, 0, false});
        store->init(blocks, limit);
        auto error = store->open_store(empty_tree);
        EXPECT_FALSE(error) << error.message();
        return store;
    }

    void build_state_before()
    {
        std::error_code ignored;
        std::filesystem::remove_all(blocks, ignored);
        make_folder(blocks);
        auto store = open(nullptr);
        auto writer = make_block_writer(*store);
        run(add_all(*writer, first_blocks()));
        run(complete_compression(*writer, level));
        run(save_block_index(*writer));
    }

    // The mutating steps the second operation takes from the state before when nothing fails; it
    // must then leave the state after.
    std::uint64_t steps_of_second_operation()
    {
        build_state_before();
        fault_file_system fs;
        auto store = open(&fs);
        second_operation(*store);
        EXPECT_EQ(loaded_state(*store), state_after().blocks);
        return fs.steps();
    }

    // After a reload, the store goes on: a further operation commits and everything reads back.
    void check_goes_on(block_store& store, const contents_map& now)
    {
        std::vector<bytes> extra{random_bytes(900, 6000), random_bytes(901, 6000)};
        {
            auto writer = make_block_writer(store);
            run(add_all(*writer, extra));
            run(complete_compression(*writer, level));
            run(save_block_index(*writer));
        }
        store.purge_blocks();
        auto reloaded = open(nullptr);
        auto state = loaded_state(*reloaded);
        for (const auto& b : extra)
            state.erase({key_of(b).low, key_of(b).high});
        EXPECT_EQ(state, now);
    }

    temp_folder folder;
    std::wstring blocks = folder / L"blocks";
};

TEST_F(StoreCrash, APowerCutAtAnyStepLeavesTheOldOrTheNewState)
{
    const contents_map before = state_before().blocks;
    const contents_map after = state_after().blocks;
    ASSERT_NE(before, after);

    const std::uint64_t total = steps_of_second_operation();
    ASSERT_GT(total, 10u);

    int old_states = 0, new_states = 0;
    for (std::uint64_t step = 1; step <= total; ++step) {
        SCOPED_TRACE(step);
        build_state_before();
        {
            fault_file_system fs;
            fs.fail_at(step, fault_file_system::mode::crash);
            {
                auto store = open(&fs);
                try {
                    second_operation(*store);
                } catch (const tavik::details::traceable_error&) {
                }
            }
            ASSERT_TRUE(fs.crashed());
            fs.apply_power_loss();
        }
        auto store = open(nullptr);
        auto state = loaded_state(*store);
        EXPECT_TRUE(state == before || state == after) << "a mix of both states";
        (state == before ? old_states : new_states)++;
        check_goes_on(*store, state);
        if (HasFailure())
            return;
    }
    EXPECT_GT(old_states, 0);
    EXPECT_GT(new_states, 0);
}

TEST_F(StoreCrash, AFailedStepLeavesTheStoreAsItWasInMemoryAndOnDisk)
{
    const contents_map before = state_before().blocks;
    const contents_map after = state_after().blocks;
    const std::uint64_t total = steps_of_second_operation();
    for (std::uint64_t step = 1; step <= total; ++step) {
        SCOPED_TRACE(step);
        build_state_before();
        contents_map in_memory;
        {
            fault_file_system fs;
            fs.fail_at(step, fault_file_system::mode::fail);
            auto store = open(&fs);
            try {
                second_operation(*store);
            } catch (const tavik::details::traceable_error&) {
                EXPECT_EQ(loaded_state(*store), before) << "a failed operation commits nothing";
            }
            in_memory = loaded_state(*store);
        }
        auto store = open(nullptr);
        EXPECT_EQ(loaded_state(*store), in_memory);
        EXPECT_TRUE(in_memory == before || in_memory == after);
        if (HasFailure())
            return;
    }
}

TEST_F(StoreCrash, TwoFailedStepsInARowLeaveTheStoreAsItWas)
{
    // A failure that lasts for two steps: in particular ReplaceFileW giving up after it moved the
    // old index away, and the fallback rename failing too. Whatever the operation reports, the
    // folder reloads in the state that the store holds in memory.
    const std::uint64_t total = steps_of_second_operation();
    for (std::uint64_t step = 1; step < total; ++step) {
        SCOPED_TRACE(step);
        build_state_before();
        contents_map in_memory;
        {
            fault_file_system fs;
            fs.fail_at(step, fault_file_system::mode::fail);
            fs.fail_also_at(step + 1);
            auto store = open(&fs);
            try {
                second_operation(*store);
            } catch (const tavik::details::traceable_error&) {
            }
            in_memory = loaded_state(*store);
        }
        auto store = open(nullptr);
        EXPECT_EQ(loaded_state(*store), in_memory);
        if (HasFailure())
            return;
    }
}

TEST_F(StoreCrash, AFirstOptimizeCutShortLeavesAnOpenableFolder)
{
    // No "blocks.ddb" yet, and the folder tree file still says nothing is stored.
    std::uint64_t total = 0;
    {
        make_folder(blocks);
        fault_file_system fs;
        auto store = open(&fs);
        auto writer = make_block_writer(*store);
        run(add_all(*writer, first_blocks()));
        run(complete_compression(*writer, level));
        run(save_block_index(*writer));
        total = fs.steps();
    }
    for (std::uint64_t step = 1; step <= total; ++step) {
        SCOPED_TRACE(step);
        std::error_code ignored;
        std::filesystem::remove_all(blocks, ignored);
        make_folder(blocks);
        {
            fault_file_system fs;
            fs.fail_at(step, fault_file_system::mode::crash);
            auto store = open(&fs);
            try {
                auto writer = make_block_writer(*store);
                run(add_all(*writer, first_blocks()));
                run(complete_compression(*writer, level));
                run(save_block_index(*writer));
            } catch (const tavik::details::traceable_error&) {
            }
            fs.apply_power_loss();
        }
        auto store = open(nullptr, true);
        auto state = loaded_state(*store);
        EXPECT_TRUE(state.empty() || state == state_before().blocks);
        if (state.empty()) {
            store->purge_blocks();
            for (const auto& entry : std::filesystem::recursive_directory_iterator(blocks))
                EXPECT_TRUE(!entry.is_regular_file() || entry.path().filename().wstring().starts_with(L"blocks.ddb"))
                    << entry.path().string();
        }
        if (HasFailure())
            return;
    }
}

// ---------------------------------------------------------------------------------------------
// The durable replace on its own, as both store files use it.

TEST(DurableReplace, APowerCutAtAnyStepLeavesTheOldOrTheNewContentWhole)
{
    temp_folder folder;
    const std::wstring target = folder / L"files.deinfo";
    const bytes old_content = random_bytes(1, 5000);
    const bytes new_content = random_bytes(2, 7000);
    auto save = [&](store_file_system& fs, const bytes& content) {
        std::span<const std::byte> pieces[] = {std::span(content).first(72), std::span(content).subspan(72)};
        run(durable_replace(fs, target, pieces));
    };

    std::uint64_t total = 0;
    {
        fault_file_system fs;
        save(fs, old_content);
        save(fs, new_content);
        total = fs.steps();
    }
    for (std::uint64_t step = 1; step <= total; ++step) {
        SCOPED_TRACE(step);
        for (const auto& name : {target, replacement_path(target), backup_path(target)})
            DeleteFileW(name.c_str());
        save(system_store_file_system(), old_content);
        fault_file_system fs;
        fs.fail_at(step, fault_file_system::mode::crash);
        long hr = hresult_of([&] { save(fs, new_content); });
        fs.apply_power_loss();
        bytes now = read_file(recover_interrupted_replace(system_store_file_system(), target));
        EXPECT_TRUE(now == old_content || now == new_content);
        EXPECT_TRUE(file_exists(target)) << "the interrupted swap is finished";
        if (hr == 0) {
            EXPECT_EQ(now, new_content);
        }
    }
}

TEST(DurableReplace, WithoutAFlushAPowerCutLeavesZeros)
{
    // The model of the test file system: renames and sizes survive a power cut, unflushed data
    // does not. This is what a replace without its flush would leave behind.
    temp_folder folder;
    fault_file_system fs;
    bytes content = random_bytes(3, 1000);
    {
        overlapped_file file = fs.create_file(folder / L"x.new", false);
        EXPECT_EQ(run(fs.write(file, 0, content.data(), 1000)), 1000u);
    }
    ASSERT_TRUE(fs.move(folder / L"x.new", folder / L"x"));
    {
        overlapped_file file = fs.create_file(folder / L"y", false);
        run(fs.write(file, 0, content.data(), 1000));
        fs.flush(file);
    }
    fs.apply_power_loss();
    EXPECT_EQ(read_file(folder / L"x"), bytes(1000));
    EXPECT_EQ(read_file(folder / L"y"), content);
}

TEST(DurableReplace, ASwapThatFailsHalfWayPutsThePreviousContentBack)
{
    temp_folder folder;
    const std::wstring target = folder / L"blocks.ddb";
    const bytes old_content = random_bytes(5, 300);
    const bytes new_content = random_bytes(6, 400);
    std::span<const std::byte> old_pieces[] = {old_content};
    std::span<const std::byte> new_pieces[] = {new_content};
    run(durable_replace(system_store_file_system(), target, old_pieces));

    // Steps: create, write, flush, the replace's two renames, the fallback move. The replace moves
    // the old file to ".backup" and then fails; the move of ".new" fails as well.
    fault_file_system fs;
    fs.fail_at(5, fault_file_system::mode::fail);
    fs.fail_also_at(6);
    EXPECT_NE(hresult_of([&] { run(durable_replace(fs, target, new_pieces)); }), 0);
    // A failed save leaves the previous content in place, and nothing that a later load would
    // take for a swap to finish.
    EXPECT_EQ(read_file(target), old_content);
    EXPECT_EQ(read_file(recover_interrupted_replace(system_store_file_system(), target)), old_content);
}

TEST(DurableReplace, AFailedWriteLeavesNoReplacementBehind)
{
    temp_folder folder;
    const std::wstring target = folder / L"blocks.ddb";
    bytes content = random_bytes(4, 100);
    std::span<const std::byte> pieces[] = {content};
    run(durable_replace(system_store_file_system(), target, pieces));
    fault_file_system fs;
    fs.fail_at(2, fault_file_system::mode::fail);  // the write
    EXPECT_EQ(hresult_of([&] { run(durable_replace(fs, target, pieces)); }), static_cast<long>(0x80070070));
    EXPECT_FALSE(file_exists(replacement_path(target)));
    EXPECT_EQ(read_file(target), content);
}

} // namespace
} // namespace dedup
