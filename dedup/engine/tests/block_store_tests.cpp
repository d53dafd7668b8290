// The block store's main paths: the working copy of the index, block files and their formats,
// closing and compressing files, the commit, the purge.

#include "store_test_support.h"

#include <dedup/engine/block_index_file.h>
#include <dedup/engine/block_store.h>
#include <dedup/engine/block_writer.h>
#include <dedup/engine/store_names.h>

#include <tavik/error_categories.h>

#include <lz4.h>
#include <lz4hc.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

namespace dedup {
namespace {

using namespace dedup::testing;

constexpr int level = 7;

bytes to_vector(std::span<const std::byte> s) { return bytes(s.begin(), s.end()); }

bytes le64(std::uint64_t v)
{
    bytes b(8);
    std::memcpy(b.data(), &v, 8);
    return b;
}

bytes le32(std::uint32_t v)
{
    bytes b(4);
    std::memcpy(b.data(), &v, 4);
    return b;
}

bytes concat(std::initializer_list<bytes> parts)
{
    bytes all;
    for (const auto& p : parts)
        all.insert(all.end(), p.begin(), p.end());
    return all;
}

bytes padded(bytes b, std::size_t sector)
{
    b.resize((b.size() + sector - 1) / sector * sector);
    return b;
}

class BlockStore : public ::testing::Test {
protected:
    std::unique_ptr<block_store> open(std::uint32_t limit = 0x3200000, block_store_options options = {},
                                      bool empty_tree = false)
    {
        options.eviction_timer = false;
        if (!options.file_system)
            options.file_system = &fs;
        auto store = std::make_unique<block_store>(options);
        store->init(blocks, limit);
        auto error = store->open_store(empty_tree);
        EXPECT_FALSE(error) << error.message();
        return store;
    }

    static void add(block_writer& writer, const bytes& content, block_kind kind = block_kind::data)
    {
        ASSERT_TRUE(run(writer.add_block(key_of(content), content.data(), static_cast<std::uint32_t>(content.size()),
                                         kind, level)));
    }

    static void finish(block_writer& writer)
    {
        run(complete_compression(writer, level));
        run(save_block_index(writer));
    }

    static bytes read(block_store& store, const bytes& content)
    {
        block_view view = run(fetch_block(store, key_of(content)));
        return to_vector(view.bytes());
    }

    std::wstring path_of(std::uint64_t number, bool uncompressed) const
    {
        return block_file_path(blocks, number, uncompressed);
    }

    temp_folder folder;
    std::wstring blocks = folder / L"blocks";
    fault_file_system fs;

    void SetUp() override { make_folder(blocks); }
};

TEST_F(BlockStore, WriterCountsReferencesAndDetectsCollisions)
{
    auto store = open();
    auto writer = make_block_writer(*store);
    bytes a = to_bytes("first block");
    block_key key = key_of(a);

    EXPECT_TRUE(run(writer->add_block(key, a.data(), 11, block_kind::data, level)));
    EXPECT_TRUE(run(writer->add_block(key, a.data(), 11, block_kind::data, level)));
    ASSERT_EQ(writer->index().size(), 1u);
    EXPECT_EQ(writer->index().at(key).references, 2u);
    EXPECT_EQ(writer->added_bytes(), 22u);
    EXPECT_EQ(writer->unique_bytes(), 11u);

    // Same key, other length: a collision, and nothing changes.
    EXPECT_FALSE(run(writer->add_block(key, a.data(), 10, block_kind::data, level)));
    EXPECT_EQ(writer->index().at(key).references, 2u);
    EXPECT_EQ(writer->added_bytes(), 22u);

    EXPECT_FALSE(writer->release_block(key));
    EXPECT_TRUE(writer->release_block(key));
    EXPECT_TRUE(writer->index().empty());
    EXPECT_FALSE(writer->release_block(key));
    EXPECT_EQ(writer->added_bytes(), 0u);
    EXPECT_EQ(writer->unique_bytes(), 0u);

    // Blocks no load could accept again.
    EXPECT_EQ(hresult_of([&] { run(writer->add_block(key, a.data(), 0, block_kind::data, level)); }), E_INVALIDARG);
    bytes huge(max_block_length + 1);
    EXPECT_EQ(hresult_of([&] { run(writer->add_block(key_of(huge), huge.data(), max_block_length + 1, block_kind::data,
                                                      level)); }),
              E_INVALIDARG);
}

TEST_F(BlockStore, WritesTheGoldenFormatsByteForByte)
{
    auto store = open();
    const std::size_t sector = store->sector_size();
    bytes text = to_bytes("hello world");          // too short to compress: ".dub"
    bytes runs = repeating_bytes(1, 4096);         // compresses: ".dcb"
    {
        auto writer = make_block_writer(*store);
        add(*writer, text, block_kind::data);      // file 0
        add(*writer, runs, block_kind::security);  // file 1; file 2 (references) stays empty
        finish(*writer);
    }
    EXPECT_EQ(store->next_number(), 3u);
    EXPECT_EQ(list_files(blocks + L"\\0"), (std::vector<std::wstring>{L"0.dub", L"1.dcb"}));

    EXPECT_EQ(read_file(path_of(0, true)), padded(text, sector));

    bytes lz4(LZ4_compressBound(4096));
    int c = LZ4_compress_HC(reinterpret_cast<const char*>(runs.data()), reinterpret_cast<char*>(lz4.data()), 4096,
                            static_cast<int>(lz4.size()), level);
    lz4.resize(c);
    EXPECT_EQ(read_file(path_of(1, false)), padded(concat({le32(4096), le32(static_cast<std::uint32_t>(c)), lz4}), sector));

    // blocks.ddb: the header, then the two records in the index's order.
    bytes index = read_file(blocks + L"\\blocks.ddb");
    ASSERT_EQ(index.size(), 24u + 2 * 36);
    bytes header = concat({{std::byte(0xB8), std::byte(0xF2), std::byte(0xB6), std::byte(0x1D), std::byte(0x48),
                            std::byte(0xBF), std::byte(0x39), std::byte(0x41)},
                           {std::byte(0x9D), std::byte(0x2E), std::byte(0x72), std::byte(0x4C), std::byte(0xC9),
                            std::byte(0xD0), std::byte(0x26), std::byte(0x99)},
                           le64(3)});
    EXPECT_EQ(bytes(index.begin(), index.begin() + 24), header);
    auto record = [](const bytes& content, std::uint64_t file, std::uint32_t offset) {
        block_key k = key_of(content);
        return concat({le64(k.low), le64(k.high), le64(file), le32(offset),
                       le32(static_cast<std::uint32_t>(content.size())), le32(1)});
    };
    std::vector<bytes> records{bytes(index.begin() + 24, index.begin() + 60), bytes(index.begin() + 60, index.end())};
    std::vector<bytes> expected{record(text, 0, 0), record(runs, 1, 0)};
    std::sort(records.begin(), records.end());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(records, expected);

    // And everything reads back after a reload.
    store.reset();
    auto reloaded = open();
    EXPECT_EQ(reloaded->statistics().block_count, 2u);
    EXPECT_EQ(reloaded->statistics().compressed_size, file_size(path_of(0, true)) + file_size(path_of(1, false)));
    EXPECT_EQ(reloaded->next_number(), 2u);  // past the largest file on disk
    EXPECT_EQ(read(*reloaded, text), text);
    EXPECT_EQ(read(*reloaded, runs), runs);
}

TEST_F(BlockStore, ReadsAGoldenStoreByteForByte)
{
    // Block file 0 is "0\0.dcb": "hello" as one LZ4 block of literals only; block file 1024 is
    // "1\0.dub". Both padded to 512 bytes.
    make_folder(blocks + L"\\0");
    make_folder(blocks + L"\\1");
    bytes lz4 = concat({{std::byte(0x50)}, to_bytes("hello")});
    write_file(blocks + L"\\0\\0.dcb", padded(concat({le32(5), le32(6), lz4}), 512));
    write_file(blocks + L"\\1\\0.dub", padded(to_bytes("abcdefgh"), 512));
    auto record = [](std::uint64_t low, std::uint64_t file, std::uint32_t offset, std::uint32_t size, std::uint32_t refs) {
        return concat({le64(low), le64(0), le64(file), le32(offset), le32(size), le32(refs)});
    };
    write_file(blocks + L"\\blocks.ddb",
               concat({le64(block_index_file::magic1), le64(block_index_file::magic2), le64(9999),
                       record(1, 0, 1, 3, 2), record(2, 1024, 0, 8, 1), record(3, 1024, 2, 2, 5)}));

    auto store = open();
    EXPECT_EQ(store->next_number(), 1025u);
    EXPECT_EQ(store->statistics().compressed_size, 1024u);
    EXPECT_EQ(store->index().at({1, 0}).references, 2u);
    EXPECT_EQ(to_vector(run(fetch_block(*store, {1, 0})).bytes()), to_bytes("ell"));
    EXPECT_EQ(to_vector(run(fetch_block(*store, {2, 0})).bytes()), to_bytes("abcdefgh"));
    EXPECT_EQ(to_vector(run(fetch_block(*store, {3, 0})).bytes()), to_bytes("cd"));
    EXPECT_TRUE(run(fetch_block(*store, {4, 0})).empty());
}

TEST(BlockFileCompression, StoresCompressedOnlyWhenThatSavesThreePercent)
{
    EXPECT_FALSE(worth_compressing(969'993, 1'000'000));  // (969,993 + 8) * 100 = 97,000,100
    EXPECT_FALSE(worth_compressing(969'992, 1'000'000));  // exactly 97 %
    EXPECT_TRUE(worth_compressing(969'991, 1'000'000));
    EXPECT_FALSE(worth_compressing(0, 8));
    // 64-bit products: no overflow near the largest contents.
    EXPECT_TRUE(worth_compressing(1'000'000'000, 2'000'000'000));
    EXPECT_FALSE(worth_compressing(1'999'999'000, 2'000'000'000));
}

TEST_F(BlockStore, IncompressibleFilesAreStoredRawAndTheRestCompressed)
{
    auto store = open(64 * 1024);
    bytes noise = random_bytes(7, 64 * 1024);
    bytes text = repeating_bytes(7, 64 * 1024);
    {
        auto writer = make_block_writer(*store);
        add(*writer, noise);  // closes file 0 at the limit
        add(*writer, text);   // closes file 3
        finish(*writer);
    }
    EXPECT_TRUE(file_exists(path_of(0, true)));
    EXPECT_FALSE(file_exists(path_of(0, false)));
    EXPECT_TRUE(file_exists(path_of(3, false)));
    EXPECT_LT(file_size(path_of(3, false)), text.size() / 4);
    EXPECT_EQ(read(*store, noise), noise);
    EXPECT_EQ(read(*store, text), text);
}

TEST_F(BlockStore, AFileClosesWhenItsContentReachesTheLimit)
{
    auto store = open(4096);
    auto writer = make_block_writer(*store);
    const std::pair<std::uint32_t, std::size_t> blocks_added[] = {{1, 4000}, {2, 95}, {3, 1}, {4, 4095}, {5, 100}};
    block_file* first = writer->open_file(block_kind::data);
    add(*writer, random_bytes(1, 4000));
    add(*writer, random_bytes(2, 95));
    EXPECT_EQ(writer->open_file(block_kind::data), first) << "4095 bytes: still open";
    EXPECT_FALSE(first->pending);
    add(*writer, random_bytes(3, 1));
    EXPECT_NE(writer->open_file(block_kind::data), first) << "4096 bytes: closed";
    EXPECT_TRUE(first->pending);

    block_file* second = writer->open_file(block_kind::data);
    add(*writer, random_bytes(4, 4095));
    add(*writer, random_bytes(5, 100));  // over the limit by less than one block
    EXPECT_NE(writer->open_file(block_kind::data), second);
    EXPECT_EQ(writer->index().at(key_of(random_bytes(5, 100))).offset, 4095u);
    finish(*writer);
    for (auto [seed, size] : blocks_added)
        EXPECT_EQ(read(*store, random_bytes(seed, size)), random_bytes(seed, size));
}

TEST_F(BlockStore, AnUncommittedWriterDeletesItsFiles)
{
    auto store = open(16 * 1024);
    {
        auto writer = make_block_writer(*store);
        add(*writer, random_bytes(1, 20 * 1024));
        add(*writer, random_bytes(2, 20 * 1024));
        add(*writer, repeating_bytes(3, 100), block_kind::security);
        run(complete_compression(*writer, level));
        EXPECT_EQ(list_files(blocks + L"\\0").size(), 3u);
    }
    EXPECT_TRUE(list_files(blocks + L"\\0").empty());
    EXPECT_FALSE(file_exists(blocks + L"\\blocks.ddb"));
    EXPECT_EQ(store->next_number(), 0u);
    EXPECT_EQ(store->statistics().block_count, 0u);
    EXPECT_EQ(store->cold_count(), 0u);

    // Also when it is dropped with compressions still running.
    {
        auto writer = make_block_writer(*store);
        for (std::uint32_t seed = 10; seed < 20; ++seed)
            add(*writer, random_bytes(seed, 20 * 1024));
    }
    EXPECT_TRUE(list_files(blocks + L"\\0").empty());
}

TEST_F(BlockStore, ADiscardedWriterUsesItsNumbersUp)
{
    // A failed operation's files that could not be deleted (another program held them) stay on
    // disk; a later writer must not take their numbers, or "0.dub" would join a stale "0.dcb" and
    // the folder would no longer load.
    auto store = open(4096);
    bytes text = repeating_bytes(1, 4096);
    {
        auto writer = make_block_writer(*store);
        add(*writer, text);  // file 0 closes at the limit: "0.dcb"
        run(complete_compression(*writer, level));
        fs.fail_removes(true);
    }
    fs.fail_removes(false);
    ASSERT_TRUE(file_exists(path_of(0, false)));
    EXPECT_EQ(store->next_number(), 4u) << "0 to 2, and 3 opened when 0 closed";

    bytes noise = random_bytes(2, 4096);
    {
        auto writer = make_block_writer(*store);
        add(*writer, noise);
        finish(*writer);
    }
    EXPECT_EQ(store->index().at(key_of(noise)).file->number, 4u);
    store.reset();
    auto reloaded = open(4096);
    EXPECT_EQ(read(*reloaded, noise), noise);
    EXPECT_EQ(reloaded->purge_blocks(), 1u) << "the stale file is found and purged";
    EXPECT_FALSE(file_exists(path_of(0, false)));
}

TEST_F(BlockStore, AnOptimizeThatAddsNothingWritesNoBlockFile)
{
    auto store = open();
    {
        auto writer = make_block_writer(*store);
        finish(*writer);
    }
    EXPECT_EQ(store->next_number(), 3u);
    EXPECT_EQ(store->cold_count(), 0u);
    EXPECT_FALSE(file_exists(blocks + L"\\0"));
    EXPECT_EQ(file_size(blocks + L"\\blocks.ddb"), 0u);
    EXPECT_TRUE(file_exists(blocks + L"\\blocks.ddb"));

    // A second save keeps the first as the backup.
    bytes one = to_bytes("one");
    {
        auto writer = make_block_writer(*store);
        add(*writer, one);
        finish(*writer);
    }
    EXPECT_EQ(file_size(blocks + L"\\blocks.ddb"), 24u + 36);
    EXPECT_TRUE(file_exists(blocks + L"\\blocks.ddb.backup"));
    EXPECT_EQ(file_size(blocks + L"\\blocks.ddb.backup"), 0u);
    EXPECT_FALSE(file_exists(blocks + L"\\blocks.ddb.new"));
}

TEST_F(BlockStore, TheCommitTakesIndexFilesAndStatisticsInOneStep)
{
    auto store = std::make_unique<block_store>(block_store_options{&fs, {}, 0, 0, false});
    store->init(blocks, 0x3200000, folder_statistics{1000, 400, 0, 0});
    ASSERT_FALSE(store->open_store());
    bytes a = random_bytes(1, 300);
    bytes b = random_bytes(2, 500);
    {
        auto writer = make_block_writer(*store);
        add(*writer, a);
        add(*writer, a);
        add(*writer, b, block_kind::references);
        run(complete_compression(*writer, level));
        EXPECT_EQ(store->statistics().block_count, 0u) << "nothing before the commit";
        run(save_block_index(*writer));
        EXPECT_TRUE(writer->committed());
    }
    auto stats = store->statistics();
    EXPECT_EQ(stats.uncompressed_size, 1000u + 1100);
    EXPECT_EQ(stats.unique_size, 400u + 800);
    EXPECT_EQ(stats.compressed_size, file_size(path_of(0, true)) + file_size(path_of(2, true)));
    EXPECT_EQ(stats.block_count, 2u);
    EXPECT_EQ(store->cold_count(), 2u);
    EXPECT_EQ(store->next_number(), 3u);
}

TEST_F(BlockStore, AStoreInMemoryWritesNothingButCountsEverything)
{
    block_store store(block_store_options{&fs, {}, 0, 0, false});
    store.init(L"", 4096);
    ASSERT_FALSE(store.open_store());
    bytes a = random_bytes(1, 5000);
    bytes b = repeating_bytes(2, 5000);
    {
        auto writer = make_block_writer(store);
        add(*writer, a);
        add(*writer, b);
        finish(*writer);
    }
    EXPECT_EQ(fs.steps(), 0u);
    auto stats = store.statistics();
    EXPECT_EQ(stats.block_count, 2u);
    EXPECT_EQ(stats.unique_size, 10000u);
    EXPECT_EQ(stats.uncompressed_size, 10000u);
    EXPECT_GT(stats.compressed_size, 5000u);
    EXPECT_LT(stats.compressed_size, 10000u);
}

TEST_F(BlockStore, PurgeKeepsEveryReferencedBlockAndDeletesTheRest)
{
    auto store = open(8 * 1024);
    std::vector<bytes> blocks_of_op1;
    for (std::uint32_t seed = 0; seed < 8; ++seed)
        blocks_of_op1.push_back(random_bytes(seed, 4 * 1024));  // two per file: files 0, 3, 4, 5
    {
        auto writer = make_block_writer(*store);
        for (const auto& b : blocks_of_op1)
            add(*writer, b);
        finish(*writer);
    }
    EXPECT_EQ(store->cold_count(), 4u);
    EXPECT_EQ(store->purge_blocks(), 0u) << "nothing unreferenced";

    // Read file 3 so that it is loaded: a purge deletes loaded files too.
    EXPECT_EQ(read(*store, blocks_of_op1[2]), blocks_of_op1[2]);
    EXPECT_EQ(store->hot_count(), 1u);
    {
        auto writer = make_block_writer(*store);
        writer->release_block(key_of(blocks_of_op1[0]));  // file 0 loses both blocks
        writer->release_block(key_of(blocks_of_op1[1]));
        writer->release_block(key_of(blocks_of_op1[2]));  // file 3 too
        writer->release_block(key_of(blocks_of_op1[3]));
        writer->release_block(key_of(blocks_of_op1[4]));  // file 4 keeps one block
        finish(*writer);
    }
    const auto before = store->statistics().compressed_size;
    const auto size0 = file_size(path_of(0, true));
    const auto size3 = file_size(path_of(3, true));
    EXPECT_EQ(store->purge_blocks(), 2u);
    EXPECT_FALSE(file_exists(path_of(0, true)));
    EXPECT_FALSE(file_exists(path_of(3, true)));
    EXPECT_TRUE(file_exists(path_of(4, true)));
    EXPECT_TRUE(file_exists(path_of(5, true)));
    EXPECT_EQ(store->statistics().compressed_size, before - size0 - size3);
    EXPECT_EQ(store->hot_count(), 0u);
    for (std::size_t i = 5; i < blocks_of_op1.size(); ++i)
        EXPECT_EQ(read(*store, blocks_of_op1[i]), blocks_of_op1[i]);

    // And a reload sees the same.
    store.reset();
    auto reloaded = open(8 * 1024);
    EXPECT_EQ(reloaded->cold_count(), 2u);
    EXPECT_EQ(reloaded->purge_blocks(), 0u);
    for (std::size_t i = 5; i < blocks_of_op1.size(); ++i)
        EXPECT_EQ(read(*reloaded, blocks_of_op1[i]), blocks_of_op1[i]);
}

TEST_F(BlockStore, CompressionsInFlightAreBounded)
{
    block_store_options options;
    options.compression_slots = 2;
    auto store = open(16 * 1024, options);
    auto writer = make_block_writer(*store);
    for (std::uint32_t seed = 0; seed < 40; ++seed) {
        add(*writer, random_bytes(seed, 16 * 1024));  // every add closes a file
        EXPECT_LT(writer->files_in_flight(), 2u);
    }
    finish(*writer);
    EXPECT_EQ(store->statistics().block_count, 40u);
}

TEST_F(BlockStore, ACancelledOperationStopsWritingAndCommitsNothing)
{
    auto store = open(16 * 1024);
    tavik::details::cancellation_source source;
    {
        auto writer = make_block_writer(*store, source);
        add(*writer, random_bytes(1, 20 * 1024));
        source.cancel();
        add(*writer, random_bytes(2, 20 * 1024));
        EXPECT_EQ(hresult_of([&] { run(complete_compression(*writer, level)); }), tavik::details::cancelled_hresult);
        EXPECT_EQ(hresult_of([&] { run(save_block_index(*writer)); }), tavik::details::cancelled_hresult);
        EXPECT_FALSE(writer->committed());
    }
    EXPECT_TRUE(list_files(blocks + L"\\0").empty());
    EXPECT_FALSE(file_exists(blocks + L"\\blocks.ddb"));
    EXPECT_EQ(store->statistics().block_count, 0u);
}

TEST_F(BlockStore, PendingBlocksReadBackAtEveryStageOfTheirFile)
{
    auto store = open(8 * 1024);
    auto writer = make_block_writer(*store);
    bytes a = random_bytes(1, 3000);
    bytes b = random_bytes(2, 6000);
    add(*writer, a);
    block_file* file = writer->open_file(block_kind::data);

    // Open: read in place.
    EXPECT_EQ(to_vector(run(fetch_pending_block(*writer, key_of(a))).bytes()), a);

    // Closed by the next add; a view taken now keeps the content until it is released: the
    // compression cannot end while the view exists.
    add(*writer, b);
    ASSERT_TRUE(file->pending);
    {
        block_view view = run(fetch_pending_block(*writer, key_of(b)));
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        EXPECT_FALSE(file->pending->is_ready());
        EXPECT_EQ(to_vector(view.bytes()), b);
    }
    run(tavik::details::shared_future_impl<void>::as_future(file->pending));
    EXPECT_FALSE(file->loaded);

    // Written: loaded back from its file.
    EXPECT_EQ(to_vector(run(fetch_pending_block(*writer, key_of(a))).bytes()), a);
    EXPECT_TRUE(file->loaded);
    EXPECT_TRUE(run(fetch_pending_block(*writer, key_of(to_bytes("absent")))).empty());

    // A file the operation loaded joins the cache at the commit.
    finish(*writer);
    EXPECT_EQ(store->hot_count(), 1u);
    EXPECT_EQ(read(*store, a), a);
}

TEST_F(BlockStore, ARawFileIsPaddedToLargeSectorsWithoutMovingAReadersBytes)
{
    // With sectors above the page size the padded length can exceed the buffer's capacity. The
    // buffer must not be reallocated under a view of fetch_pending_block. Reference lists, whose
    // buffers grow as they fill (a data file gets its largest content at once), show it.
    block_store_options options;
    options.sector_size = 16384;
    auto store = open(4096, options);
    ASSERT_EQ(store->sector_size(), 16384u);
    auto writer = make_block_writer(*store);
    bytes a = random_bytes(1, 3000);
    bytes b = random_bytes(2, 1096);
    add(*writer, a, block_kind::references);  // capacity 4096
    block_file* file = writer->open_file(block_kind::references);
    {
        block_view view = run(fetch_pending_block(*writer, key_of(a)));
        add(*writer, b, block_kind::references);  // fills the capacity exactly and closes the file: stored raw
        ASSERT_TRUE(file->pending);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        ASSERT_FALSE(file->pending->is_ready()) << "the write waits for the view";
        EXPECT_EQ(to_vector(view.bytes()), a);
    }
    finish(*writer);
    EXPECT_EQ(file_size(path_of(2, true)), 16384u);  // the writer numbers its files data, security, references
    writer.reset();
    store.reset();
    auto reloaded = open(4096, options);
    EXPECT_EQ(read(*reloaded, a), a);
    EXPECT_EQ(read(*reloaded, b), b);
}

} // namespace
} // namespace dedup
