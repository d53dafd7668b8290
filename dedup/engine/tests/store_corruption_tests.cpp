// What the store does with damaged or hostile files: every case is a clear error ("Folder is
// invalid", the index error of the store, or ERROR_DATA_CHECKSUM_ERROR for a block file that
// does not hold together), never a crash, an overlong read or a huge allocation; and files that
// are not the store's are neither used nor deleted.

#include "store_test_support.h"

#include <dedup/engine/block_index_file.h>
#include <dedup/engine/block_store.h>
#include <dedup/engine/block_writer.h>
#include <dedup/engine/store_names.h>

#include <tavik/byte_codec.h>
#include <tavik/error_categories.h>

#include <lz4.h>
#include <lz4hc.h>

#include <gtest/gtest.h>

#include <random>

namespace dedup {
namespace {

using namespace dedup::testing;
namespace bif = block_index_file;

constexpr int level = 7;
const std::error_code invalid = create_error::folder_invalid;
const std::error_code no_such_file = internal_error::invariant_broken;

bytes image(std::uint64_t magic1, std::uint64_t magic2, const std::vector<bif::record>& records)
{
    bytes b;
    tavik::byte_writer out(b);
    out.u64(magic1);
    out.u64(magic2);
    out.u64(77);
    for (const auto& r : records)
        bif::write_record(out, r);
    return b;
}

// Overwrites the little-endian u32 or u64 at `at`.
template <class T>
void put_at(bytes& b, std::size_t at, T value)
{
    tavik::byte_writer out(std::span<std::byte>(b).subspan(at, sizeof(T)));
    out.put(value);
}

bytes concat_bytes(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes image(const std::vector<bif::record>& records) { return image(bif::magic1, bif::magic2, records); }

bytes dcb_file(const bytes& content, std::size_t sector = 512)
{
    bytes b(bif::header_size + LZ4_compressBound(static_cast<int>(content.size())));
    int c = LZ4_compress_HC(reinterpret_cast<const char*>(content.data()), reinterpret_cast<char*>(b.data()) + 8,
                            static_cast<int>(content.size()), static_cast<int>(b.size()) - 8, level);
    write_dcb_header(std::span<std::byte, dcb_header_size>(b.data(), dcb_header_size),
                     {static_cast<std::uint32_t>(content.size()), static_cast<std::uint32_t>(c)});
    b.resize((8 + c + sector - 1) / sector * sector);
    return b;
}

class StoreCorruption : public ::testing::Test {
protected:
    void SetUp() override
    {
        make_folder(blocks + L"\\0");
        make_folder(blocks + L"\\1");
        // Block file 0: a raw file of 512 bytes; block file 1024: compressed, 8 KiB of content.
        write_file(blocks + L"\\0\\0.dub", random_bytes(1, 512));
        content = repeating_bytes(2, 8192);
        write_file(blocks + L"\\1\\0.dcb", dcb_file(content));
    }

    std::error_code load(const bytes& index, std::uint32_t limit = 0x3200000, bool empty_tree = false)
    {
        write_file(blocks + L"\\blocks.ddb", index);
        return load_existing(limit, empty_tree);
    }

    std::error_code load_existing(std::uint32_t limit = 0x3200000, bool empty_tree = false)
    {
        store = std::make_unique<block_store>(block_store_options{nullptr, {}, 0, 0, false});
        store->init(blocks, limit);
        return store->open_store(empty_tree);
    }

    static bytes run_view(block_store& store, const block_key& key)
    {
        block_view view = run(fetch_block(store, key));
        return bytes(view.bytes().begin(), view.bytes().end());
    }

    long read_failure(std::uint64_t low)
    {
        return hresult_of([&] { run(fetch_block(*store, {low, 0})); });
    }

    temp_folder folder;
    std::wstring blocks = folder / L"blocks";
    bytes content;
    std::unique_ptr<block_store> store;
};

TEST_F(StoreCorruption, TheIndexFileIsCheckedWholeBeforeItIsUsed)
{
    const bif::record good{{1, 0}, 0, 0, 100, 1};
    bytes valid = image({good});
    bytes zeros_of_valid_size(valid.size());
    bytes header_of_zeros(24);
    bytes bad_magic = image(bif::magic1, bif::magic2 + 1, {good});

    struct {
        const char* what;
        bytes file;
        std::error_code expected;
    } cases[] = {
        {"empty file: empty index", {}, {}},
        {"header only: empty index", image({}), {}},
        {"one record", valid, {}},
        {"1 byte", bytes(1), invalid},
        {"23 bytes", bytes(23), invalid},
        {"25 bytes", bytes(25), invalid},
        {"59 bytes", bytes(59), invalid},
        {"a record and a byte", concat_bytes(valid, bytes(1)), invalid},
        {"24 zeros (a header lost to a power cut)", header_of_zeros, invalid},
        {"zeros of a valid size", zeros_of_valid_size, invalid},
        {"wrong magic", bad_magic, invalid},
        {"block file 1025 (only 1024 exists)", image({{{1, 0}, 1025, 0, 10, 1}}), no_such_file},
        {"block file 1 (only 0 and 1024 exist)", image({{{1, 0}, 1, 0, 10, 1}}), no_such_file},
        {"a block of 0 bytes", image({{{1, 0}, 0, 0, 0, 1}}), invalid},
        {"no reference", image({{{1, 0}, 0, 0, 10, 0}}), invalid},
        {"past the end of a raw file", image({{{1, 0}, 0, 500, 13, 1}}), invalid},
        {"up to the end of a raw file", image({{{1, 0}, 0, 500, 12, 1}}), {}},
        {"offset + size wraps around", image({{{1, 0}, 0, 0xFFFFFFFF, 2, 1}}), invalid},
        {"past any compressed content", image({{{1, 0}, 1024, 0x3200000, max_block_length + 1, 1}}), invalid},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(load(c.file), c.expected);
        if (c.expected) {
            EXPECT_EQ(store->statistics().block_count, 0u);
        }
    }
}

TEST_F(StoreCorruption, TwoRecordsOfOneKeyKeepTheFirst)
{
    ASSERT_FALSE(load(image({{{1, 0}, 0, 0, 10, 3}, {{1, 0}, 1024, 0, 20, 5}})));
    EXPECT_EQ(store->index().size(), 1u);
    EXPECT_EQ(store->index().at({1, 0}).references, 3u);
    EXPECT_EQ(store->index().at({1, 0}).size, 10u);
}

TEST_F(StoreCorruption, ABlockFileSizeLimitOutsideItsRangeIsAnInvalidFolder)
{
    bytes index = image({{{1, 0}, 0, 0, 10, 1}});
    EXPECT_EQ(load(index, 0), invalid);
    EXPECT_EQ(load(index, max_block_file_size_limit + 1), invalid);
    EXPECT_EQ(load(index, 0xFFFFFFFF), invalid);
    EXPECT_FALSE(load(index, 1));
    EXPECT_FALSE(load(index, max_block_file_size_limit));
    // A store set up with a bad limit still writes safely (the limit is kept in range).
    block_store memory(block_store_options{nullptr, {}, 0, 0, false});
    memory.init(L"", 0);
    EXPECT_EQ(memory.block_file_size_limit(), 1u);
}

TEST_F(StoreCorruption, OnlyCanonicalBlockFileNamesAreBlockFiles)
{
    // Each of these would be block file 1 (or 1025) if names were read loosely.
    make_folder(blocks + L"\\00");
    make_folder(blocks + L"\\01");
    for (const wchar_t* name : {L"0\\01.dcb", L"0\\1.DCB", L"0\\1.dcb.new", L"00\\1.dcb", L"01\\1.dub", L"0\\1025.dcb",
                                L"0\\+1.dcb"})
        write_file(blocks + L"\\" + name, random_bytes(3, 512));

    EXPECT_EQ(load(image({{{1, 0}, 1, 0, 10, 1}})), no_such_file);
    EXPECT_EQ(load(image({{{1, 0}, 1025, 0, 10, 1}})), no_such_file);
    ASSERT_FALSE(load(image({{{1, 0}, 0, 0, 10, 1}, {{2, 0}, 1024, 0, 10, 1}})));
    EXPECT_EQ(store->next_number(), 1025u);
    EXPECT_EQ(store->cold_count(), 2u);
    EXPECT_EQ(store->statistics().compressed_size, 512u + file_size(blocks + L"\\1\\0.dcb"));

    // A purge of a store with nothing unreferenced leaves the strangers alone.
    ASSERT_FALSE(load(image({})));
    EXPECT_EQ(store->purge_blocks(), 2u);
    for (const wchar_t* name : {L"0\\01.dcb", L"0\\1.DCB", L"00\\1.dcb", L"01\\1.dub", L"0\\1025.dcb"})
        EXPECT_TRUE(file_exists(blocks + L"\\" + name)) << name;
}

TEST_F(StoreCorruption, OneNumberCompressedAndRawIsAnInvalidFolder)
{
    write_file(blocks + L"\\0\\0.dcb", dcb_file(content));
    EXPECT_EQ(load(image({{{1, 0}, 0, 0, 10, 1}})), invalid);
}

TEST_F(StoreCorruption, AMissingBlockFolderIsAnInvalidFolder)
{
    store = std::make_unique<block_store>(block_store_options{nullptr, {}, 0, 0, false});
    store->init(folder / L"nowhere", 0x3200000);
    EXPECT_EQ(store->open_store(), invalid);
}

TEST_F(StoreCorruption, AMissingIndexBesideBlockFiles)
{
    // A folder whose tree says nothing was ever stored: the block files are what a first optimize
    // left when it stopped before its index; they are unreferenced and the purge removes them.
    ASSERT_FALSE(load_existing(0x3200000, true));
    EXPECT_EQ(store->statistics().block_count, 0u);
    EXPECT_EQ(store->next_number(), 1025u);
    EXPECT_EQ(store->purge_blocks(), 2u);
    EXPECT_FALSE(file_exists(blocks + L"\\0\\0.dub"));
    EXPECT_FALSE(file_exists(blocks + L"\\1\\0.dcb"));

    // Otherwise the index is missing from a folder that needs it.
    write_file(blocks + L"\\0\\0.dub", random_bytes(1, 512));
    EXPECT_EQ(load_existing(), make_hresult_error_code(static_cast<HRESULT>(0x80070002)));

    // No block files and no index: a new store.
    DeleteFileW((blocks + L"\\0\\0.dub").c_str());
    EXPECT_FALSE(load_existing());
}

TEST_F(StoreCorruption, SizesBeyond32BitsAreNotTruncated)
{
    // Sparse files of more than 4 GiB: a reader that used the low 32 bits of their sizes would
    // see a 60-byte index with one good record, and a raw block file of 512 bytes.
    auto extend = [](const std::wstring& path, std::uint64_t size) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        LARGE_INTEGER at;
        at.QuadPart = static_cast<LONGLONG>(size);
        bool ok = h != INVALID_HANDLE_VALUE && SetFilePointerEx(h, at, nullptr, FILE_BEGIN) && SetEndOfFile(h);
        if (h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        return ok;
    };
    write_file(blocks + L"\\blocks.ddb", image({{{1, 0}, 0, 0, 10, 1}}));
    if (!extend(blocks + L"\\blocks.ddb", (1ull << 32) + 60))
        GTEST_SKIP() << "no sparse files here";
    EXPECT_EQ(load_existing(), invalid);

    ASSERT_TRUE(extend(blocks + L"\\0\\0.dub", (1ull << 32) + 512));
    ASSERT_FALSE(load(image({{{1, 0}, 0, 0, 10, 1}})));
    EXPECT_EQ(store->statistics().compressed_size, (1ull << 32) + 512 + file_size(blocks + L"\\1\\0.dcb"));
    EXPECT_EQ(read_failure(1), damaged_block_file) << "no block file is that large";
}

TEST_F(StoreCorruption, DamagedBlockFilesFailTheirReads)
{
    const bytes good = dcb_file(content);
    auto with_header = [&](std::uint32_t n, std::uint32_t c) {
        bytes b = good;
        put_at(b, 0, n);
        put_at(b, 4, c);
        return b;
    };
    tavik::byte_reader good_header(good);
    const std::uint32_t c = read_dcb_header(good_header).compressed_length;
    struct {
        const char* what;
        bytes file;
    } cases[] = {
        {"compressed length past the end of the file", with_header(8192, static_cast<std::uint32_t>(good.size()))},
        {"compressed length of 4 GiB", with_header(8192, 0xFFFFFFFF)},
        {"content length of 4 GiB", with_header(0xFFFFFFF0, c)},
        {"content length above what LZ4 yields", with_header(8193, c)},
        {"content length below what LZ4 yields", with_header(8191, c)},
        {"content length 0", with_header(0, c)},
        {"not a whole number of sectors", bytes(good.begin(), good.end() - 1)},
        {"an empty file", {}},
        {"only a header", bytes(512)},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        write_file(blocks + L"\\1\\0.dcb", k.file);
        ASSERT_FALSE(load(image({{{1, 0}, 1024, 0, 8192, 1}})));
        EXPECT_EQ(read_failure(1), damaged_block_file);
        block_file* file = store->index().at({1, 0}).file;
        EXPECT_FALSE(file->loaded);
        EXPECT_EQ(file->lock.holders(), 0);
        EXPECT_EQ(read_failure(1), damaged_block_file) << "tried again, fails again";
    }

    // A good file whose index claims more than its content.
    write_file(blocks + L"\\1\\0.dcb", good);
    ASSERT_FALSE(load(image({{{1, 0}, 1024, 8000, 193, 1}, {{2, 0}, 1024, 8000, 192, 1}})));
    EXPECT_EQ(read_failure(1), damaged_block_file);
    EXPECT_EQ(read_failure(2), 0);
}

// A ".dcb" of `file_length` bytes whose LZ4 data is one run of `n` literals: the header claims
// c = the whole run, whatever part of it the file holds. Such data decodes from any bytes at all,
// so only the check of c against the file tells a run that goes on past the file's end.
bytes literal_run_dcb(const bytes& content, std::size_t file_length)
{
    const std::size_t n = content.size();
    bytes run{std::byte(0xF0)};
    std::size_t rest = n - 15;
    for (; rest >= 255; rest -= 255)
        run.push_back(std::byte(0xFF));
    run.push_back(std::byte(rest));
    run.insert(run.end(), content.begin(), content.end());

    bytes file(std::max(file_length, dcb_header_size + run.size()));
    write_dcb_header(std::span<std::byte, dcb_header_size>(file.data(), dcb_header_size),
                     {static_cast<std::uint32_t>(n), static_cast<std::uint32_t>(run.size())});
    std::copy(run.begin(), run.end(), file.begin() + dcb_header_size);
    file.resize(file_length);
    return file;
}

TEST_F(StoreCorruption, TheCompressedLengthMustEndInsideTheFile)
{
    // One sector: 504 bytes after the header. A run of 501 literals ends exactly at the file's end,
    // one of 502 a byte past it, one of 3000 far past it (yet inside the read buffer's page, so
    // the decoder would take whatever follows the file for the missing literals).
    struct {
        const char* what;
        std::size_t literals;
        bool accepted;
    } cases[] = {
        {"ends exactly at the end of the file", 501, true},
        {"ends one byte past the file", 502, false},
        {"ends far past the file", 3000, false},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        const bytes run = repeating_bytes(7, k.literals);
        const bytes file = literal_run_dcb(run, 512);
        ASSERT_EQ(file.size(), 512u);
        write_file(blocks + L"\\1\\0.dcb", file);
        ASSERT_FALSE(load(image({{{1, 0}, 1024, 0, 100, 1}})));
        if (k.accepted) {
            auto view = run_view(*store, {1, 0});
            EXPECT_EQ(view, bytes(run.begin(), run.begin() + 100));
        } else {
            EXPECT_EQ(read_failure(1), damaged_block_file);
        }
    }
}

// ---------------------------------------------------------------------------------------------
// Bounded fuzzing of the two loaders.

TEST(StoreFuzz, IndexImagesNeverBreakTheLoader)
{
    block_store owner(block_store_options{nullptr, {}, 0, 0, false});
    block_file raw(owner, 0);
    block_file compressed(owner, 1);
    auto find = [&](std::uint64_t number) -> bif::file_extent {
        if (number == 0)
            return {&raw, 4096};
        if (number == 1)
            return {&compressed, max_block_file_content(0x3200000)};
        return {};
    };
    std::vector<bif::record> records;
    for (std::uint32_t i = 0; i < 40; ++i)
        records.push_back({{i * 7919ull, i}, i % 2, i * 100, 50 + i, 1 + i % 3});
    const bytes valid = image(records);
    {
        block_index index;
        ASSERT_FALSE(bif::parse(valid, find, index));
        ASSERT_EQ(index.size(), records.size());
    }

    auto check = [&](const bytes& file) {
        block_index index;
        auto error = bif::parse(file, find, index);
        if (error)
            return;
        for (const auto& [key, entry] : index) {
            ASSERT_TRUE(entry.file == &raw || entry.file == &compressed);
            ASSERT_GT(entry.size, 0u);
            ASSERT_GT(entry.references, 0u);
            ASSERT_LE(std::uint64_t(entry.offset) + entry.size, find(entry.file->number).content_bound);
        }
    };

    // Every truncation: only a whole number of records (or nothing) loads.
    for (std::size_t length = 0; length <= valid.size(); ++length) {
        bytes cut(valid.begin(), valid.begin() + length);
        block_index index;
        auto error = bif::parse(cut, find, index);
        bool whole = length == 0 || (length >= 24 && (length - 24) % 36 == 0);
        EXPECT_EQ(!error, whole) << length;
    }

    // Random mutations, random sizes, random bytes.
    std::mt19937 random(20240601);
    for (int round = 0; round < 20000; ++round) {
        bytes file = valid;
        switch (round % 4) {
        case 0:
            for (int flips = 1 + random() % 4; flips > 0; --flips)
                file[random() % file.size()] ^= std::byte(1u << (random() % 8));
            break;
        case 1:
            file[24 + random() % (file.size() - 24)] = std::byte(random());
            file[24 + random() % (file.size() - 24)] = std::byte(0xFF);
            break;
        case 2:
            file.resize(24 + (random() % 45) * 36 + (random() % 4 == 0 ? random() % 36 : 0), std::byte(random()));
            break;
        default:
            file = random_bytes(random(), random() % 400);
            if (file.size() >= 16 && random() % 2) {
                put_at(file, 0, bif::magic1);
                put_at(file, 8, bif::magic2);
            }
            break;
        }
        check(file);
        if (HasFatalFailure())
            return;
    }
}

TEST_F(StoreCorruption, FuzzedFilesOnDiskNeverBreakTheStore)
{
    const bytes good_dcb = dcb_file(content);
    const bytes good_index = image({{{1, 0}, 1024, 0, 8192, 1}, {{2, 0}, 0, 0, 512, 2}});
    std::mt19937 random(7);
    for (int round = 0; round < 150; ++round) {
        SCOPED_TRACE(round);
        bytes dcb = good_dcb;
        bytes index = good_index;
        switch (round % 5) {
        case 0:
            for (int flips = 1 + random() % 8; flips > 0; --flips)
                dcb[random() % std::min<std::size_t>(dcb.size(), 600)] ^= std::byte(1u << (random() % 8));
            break;
        case 1:
            dcb.resize(512 * (random() % (dcb.size() / 512 + 1)));
            break;
        case 2:
            dcb = random_bytes(random(), 512 * (1 + random() % 4));
            break;
        case 3:
            index.resize(random() % (index.size() + 1));
            break;
        default:
            for (int flips = 1 + random() % 6; flips > 0; --flips)
                index[random() % index.size()] = std::byte(random());
            break;
        }
        write_file(blocks + L"\\1\\0.dcb", dcb);
        auto error = load(index);
        if (error)
            continue;
        for (std::uint64_t low : {1ull, 2ull}) {
            long hr = read_failure(low);
            EXPECT_TRUE(hr == 0 || hr == damaged_block_file) << std::hex << hr;
        }
        if (round % 5 == 0 || round % 5 == 1) {
            // Data bits flipped inside the LZ4 stream may still decode to 8192 bytes: LZ4 has no
            // checksum. What matters is that a read never returns more than the content.
            block_view view;
            try {
                view = run(fetch_block(*store, {1, 0}));
            } catch (const tavik::details::traceable_error&) {
            }
            if (!view.empty()) {
                EXPECT_EQ(view.size(), 8192u);
            }
        }
    }
}

} // namespace
} // namespace dedup
