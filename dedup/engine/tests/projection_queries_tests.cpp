// What the Projected File System asks of a served folder: whether a path exists, what a folder
// lists, what a placeholder looks like, and which bytes a file holds, over a folder that an
// optimize has taken in. The files span several block files (a small block-file limit) and the
// large one more than one reference list.

#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>
#include <dedup/engine/tests/optimize_test_support.h>

#include <platform/projfs/availability.h>
#include <platform/projfs/projfs.h>

#include <ostrel/com/ptr.h>

#include <tavik/error.h>
#include <tavik/error_categories.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace dedup::testing;
using dedup::impl::root_folder;

constexpr std::size_t large_size = 70u << 20;  // more than 8192 chunks of 8 KiB on average
constexpr std::uint32_t small_block_files = 4u << 20;

// A served folder as the projection sees it after an optimize.
struct served_folder {
    explicit served_folder(std::uint32_t block_file_size_limit, dedup::store_file_system* fs = nullptr)
        : fs_(fs)
    {
        root = make_root();
        dedup::create_params params;
        params.block_file_size_limit = block_file_size_limit;
        if (const auto error = root->create(folder, params))
            throw std::runtime_error("create failed: " + error.message());
        GUID id{0x0b730000u + GetCurrentProcessId(), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        PrjMarkDirectoryAsPlaceholder(folder.c_str(), nullptr, nullptr, &id);
        PRJ_CALLBACKS callbacks{};
        if (PrjStartVirtualizing(folder.c_str(), &callbacks, nullptr, nullptr, &instance) != S_OK)
            throw std::runtime_error("virtualization failed");
        root->set_virtualization_context(instance);
    }

    ~served_folder()
    {
        root = nullptr;
        if (instance)
            PrjStopVirtualizing(instance);
    }

    Ostrel::com::ptr<root_folder> make_root()
    {
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        options.store.file_system = fs_;
        return Ostrel::com::make<root_folder>(source, options);
    }

    void add(const std::wstring& relative, bytes content)
    {
        write_file(folder + L"\\" + relative, content);
        contents[relative] = std::move(content);
    }

    void optimize()
    {
        const auto result = tavik::details::wait_blocking_result(root->optimize(caller, 7, {}, {}));
        if (!result)
            throw std::runtime_error("optimize failed");
    }

    // A restart of the server: a new object opens the folder, with cold block files.
    void reopen()
    {
        root = nullptr;
        root = make_root();
        if (tavik::details::wait_blocking_result(root->open(folder)))
            throw std::runtime_error("open failed");
        root->set_virtualization_context(instance);
    }

    std::wstring store_path() const { return dedup::store_folder_path(folder); }

    // Reads through the projection's path: the result, and the buffer as the read left it (every
    // byte starts as 0xCD, so unwritten bytes show).
    std::pair<std::error_code, bytes> read(const std::wstring& relative, std::uint64_t offset, std::uint32_t length)
    {
        bytes buffer(length, std::byte{0xCD});
        auto error = tavik::details::wait_blocking_result(
            root->read_file_data(relative, offset, length, buffer.data(), caller));
        return {error, std::move(buffer)};
    }

    bytes expected(const std::wstring& relative, std::uint64_t offset, std::uint32_t length) const
    {
        const bytes& all = contents.at(relative);
        return bytes(all.begin() + static_cast<std::ptrdiff_t>(offset),
                     all.begin() + static_cast<std::ptrdiff_t>(offset + length));
    }

    dedup::store_file_system* fs_;
    tavik::details::cancellation_source source;
    tavik::details::cancellation_source caller;
    temp_folder base;
    std::wstring folder = base / L"Data";
    Ostrel::com::ptr<root_folder> root;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT instance = nullptr;
    std::map<std::wstring, bytes> contents;
};

// One folder for every test that only reads: making the large file's store takes seconds.
class Projection : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(projfs::available());
        served = new served_folder(small_block_files);
        served->add(L"empty.txt", {});
        served->add(L"one.bin", random_bytes(1, 1));
        served->add(L"eight.bin", random_bytes(2, 8192));
        CreateDirectoryW((served->folder + L"\\Sub").c_str(), nullptr);
        CreateDirectoryW((served->folder + L"\\Sub\\Deeper").c_str(), nullptr);
        served->add(L"Sub\\Inner.txt", to_bytes("inner text"));
        served->add(L"Sub\\Deeper\\x.bin", repeating_bytes(3, 100000));
        // Random data with a run repeated at its end, so that some chunks are shared.
        bytes large = random_bytes(4, large_size);
        std::copy_n(large.begin(), 1u << 20, large.end() - (1u << 20));
        served->add(L"large.bin", std::move(large));
        served->optimize();
    }

    static void TearDownTestSuite()
    {
        delete served;
        served = nullptr;
    }

    static served_folder* served;
};

served_folder* Projection::served = nullptr;

TEST_F(Projection, ExistsFindsFilesAndFoldersInAnyCase)
{
    const struct {
        const wchar_t* path;
        bool exists;
    } cases[] = {
        {L"", true},
        {L"one.bin", true},
        {L"Sub", true},
        {L"sub\\inner.TXT", true},
        {L"Sub\\Deeper\\x.bin", true},
        {L"one.bin\\x", false},  // a path through a file
        {L"Sub\\Nothing", false},
        {L"nothing", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(served->root->exists(c.path), c.exists) << testing::PrintToString(std::wstring(c.path));
}

TEST_F(Projection, ListFolderGivesChildrenInFileNameOrder)
{
    const auto top = served->root->list_folder(L"");
    std::vector<std::wstring> names;
    for (const auto& entry : top)
        names.push_back(entry.name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"eight.bin", L"empty.txt", L"large.bin", L"one.bin", L"Sub"}));
    for (const auto& entry : top) {
        EXPECT_TRUE(entry.security_descriptor.empty());
        EXPECT_EQ(entry.folder, entry.name == L"Sub");
        if (!entry.folder) {
            EXPECT_EQ(entry.size, served->contents.at(entry.name).size());
        }
        EXPECT_NE(entry.last_write_time, 0);
    }

    const auto sub = served->root->list_folder(L"SUB");
    ASSERT_EQ(sub.size(), 2u);
    EXPECT_EQ(sub[0].name, L"Deeper");
    EXPECT_TRUE(sub[0].folder);
    EXPECT_EQ(sub[1].name, L"Inner.txt");
    EXPECT_EQ(sub[1].size, 10u);

    EXPECT_TRUE(served->root->list_folder(L"one.bin").empty());
    EXPECT_TRUE(served->root->list_folder(L"Nothing").empty());
}

TEST_F(Projection, PlaceholderInfoUnderTheStoredSpelling)
{
    auto entry = tavik::details::wait_blocking_result(served->root->get_placeholder_info(L"sub\\INNER.txt", false, served->caller));
    ASSERT_TRUE(entry) << entry.error().message();
    EXPECT_EQ(entry->name, L"Inner.txt");
    EXPECT_EQ(entry->size, 10u);
    EXPECT_FALSE(entry->folder);
    if (!entry->security_descriptor.empty()) {
        EXPECT_TRUE(IsValidSecurityDescriptor(entry->security_descriptor.data()));
    }

    auto without = tavik::details::wait_blocking_result(served->root->get_placeholder_info(L"Sub\\Inner.txt", true, served->caller));
    ASSERT_TRUE(without);
    EXPECT_TRUE(without->security_descriptor.empty());

    auto root = tavik::details::wait_blocking_result(served->root->get_placeholder_info(L"", true, served->caller));
    ASSERT_TRUE(root);
    EXPECT_EQ(root->name, L"");
    EXPECT_TRUE(root->folder);

    auto missing = tavik::details::wait_blocking_result(served->root->get_placeholder_info(L"Sub\\None", false, served->caller));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), make_error_code(dedup::common_error::not_found));

    tavik::details::cancellation_source cancelled;
    cancelled.cancel();
    EXPECT_EQ(hresult_of([&] {
                  tavik::details::wait_blocking_result(served->root->get_placeholder_info(L"one.bin", false, cancelled));
              }),
              static_cast<long>(0x800704C7));
}

TEST_F(Projection, RenamesAndDeletionsLeaveTheTree)
{
    auto renamed = served->root->on_item_renamed(L"one.bin", L"two.bin");
    ASSERT_TRUE(renamed.is_ready());
    EXPECT_EQ(tavik::details::wait_blocking_result(std::move(renamed)), S_OK);
    served->root->on_item_deleted(L"eight.bin");
    EXPECT_TRUE(served->root->exists(L"one.bin"));
    EXPECT_TRUE(served->root->exists(L"eight.bin"));
}

TEST_F(Projection, SmallFilesReadBackWhateverTheRange)
{
    // Every range of the one-byte file, and ranges of the 8 KiB one at every offset that is a
    // multiple of 97, of a few lengths.
    auto [one_error, one] = served->read(L"one.bin", 0, 1);
    EXPECT_EQ(one_error, std::error_code());
    EXPECT_EQ(one, served->contents.at(L"one.bin"));
    for (std::uint64_t offset = 0; offset < 8192; offset += 97) {
        for (std::uint32_t length : {1u, 255u, 4096u, 8192u}) {
            const std::uint32_t n = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, 8192 - offset));
            auto [error, data] = served->read(L"eight.bin", offset, n);
            ASSERT_EQ(error, std::error_code()) << offset << "+" << n;
            ASSERT_EQ(data, served->expected(L"eight.bin", offset, n)) << offset << "+" << n;
        }
    }
    auto [deep_error, deep] = served->read(L"sub\\deeper\\X.BIN", 0, 100000);
    EXPECT_EQ(deep_error, std::error_code());
    EXPECT_EQ(deep, served->contents.at(L"Sub\\Deeper\\x.bin"));
}

TEST_F(Projection, LargeFileReadsBackAcrossListsAndBlockFiles)
{
    auto image = load_store_image(served->store_path());
    const auto refs = data_references(image, L"large.bin");
    ASSERT_GT(refs.size(), 8192u) << "the file needs a second reference list";
    ASSERT_GT(snapshot_folder(dedup::block_folder_path(served->store_path())).size(), 8u);

    // The whole file in the projection's 1 MiB pieces.
    constexpr std::uint32_t piece = 1u << 20;
    for (std::uint64_t offset = 0; offset < large_size; offset += piece) {
        auto [error, data] = served->read(L"large.bin", offset, piece);
        ASSERT_EQ(error, std::error_code()) << offset;
        ASSERT_TRUE(data == served->expected(L"large.bin", offset, piece)) << offset;
    }

    // Ranges that start in the middle of a chunk, end at a chunk's last byte, or span the boundary
    // of the reference lists (chunk 8192 is the second list's first).
    std::vector<std::pair<std::uint64_t, std::uint32_t>> ranges;
    const std::uint64_t list_boundary = refs[8192].offset;
    ranges.emplace_back(list_boundary - 1, 2);
    ranges.emplace_back(list_boundary - 5000, 300000);
    ranges.emplace_back(list_boundary, 1);
    ranges.emplace_back(refs[100].offset + 17, static_cast<std::uint32_t>(refs[103].offset - refs[100].offset));
    ranges.emplace_back(refs[200].offset - 1, 1);
    ranges.emplace_back(large_size - 1, 1);
    ranges.emplace_back(large_size - 3000000, 3000000);
    std::mt19937_64 random(5);
    for (int i = 0; i < 200; ++i) {
        const std::uint64_t offset = random() % large_size;
        ranges.emplace_back(offset, static_cast<std::uint32_t>(std::min<std::uint64_t>(random() % (6u << 20) + 1,
                                                                                       large_size - offset)));
    }
    for (const auto& [offset, length] : ranges) {
        auto [error, data] = served->read(L"large.bin", offset, length);
        ASSERT_EQ(error, std::error_code()) << offset << "+" << length;
        ASSERT_TRUE(data == served->expected(L"large.bin", offset, length)) << offset << "+" << length;
    }
}

TEST_F(Projection, ConcurrentReadersEachGetTheirBytes)
{
    std::atomic<int> wrong{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 8; ++t) {
        readers.emplace_back([&, t] {
            std::mt19937_64 random(100 + t);
            for (int i = 0; i < 40; ++i) {
                const std::uint64_t offset = random() % large_size;
                const auto length = static_cast<std::uint32_t>(
                    std::min<std::uint64_t>(random() % (512u << 10) + 1, large_size - offset));
                auto [error, data] = served->read(L"large.bin", offset, length);
                if (error || data != served->expected(L"large.bin", offset, length))
                    ++wrong;
            }
        });
    }
    for (auto& reader : readers)
        reader.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST_F(Projection, ReadsThatCopyNothing)
{
    // Nothing to read: complete at once.
    auto none = served->root->read_file_data(L"large.bin", 5, 0, nullptr, served->caller);
    EXPECT_TRUE(none.is_ready());
    EXPECT_EQ(tavik::details::wait_blocking_result(std::move(none)), std::error_code());

    const bytes untouched(16, std::byte{0xCD});
    const struct {
        const wchar_t* path;
        std::uint64_t offset;
        std::uint32_t length;
        std::error_code result;
    } cases[] = {
        {L"empty.txt", 0, 16, {}},  // an empty stream
        {L"Sub", 0, 16, make_error_code(dedup::common_error::not_found)},
        {L"", 0, 16, make_error_code(dedup::common_error::not_found)},
        {L"missing.bin", 0, 16, make_error_code(dedup::common_error::not_found)},
        // Past the end: nothing is left unwritten under a success.
        {L"eight.bin", 8190, 16, dedup::make_hresult_error_code(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF))},
        {L"eight.bin", 8192, 16, dedup::make_hresult_error_code(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF))},
        {L"one.bin", 1ull << 40, 16, dedup::make_hresult_error_code(HRESULT_FROM_WIN32(ERROR_HANDLE_EOF))},
    };
    for (const auto& c : cases) {
        auto [error, data] = served->read(c.path, c.offset, c.length);
        EXPECT_EQ(error, c.result) << testing::PrintToString(std::wstring(c.path)) << " at " << c.offset;
        EXPECT_EQ(data, untouched) << testing::PrintToString(std::wstring(c.path));
    }

    // A source cancelled before the call: raised, and the buffer is not touched.
    tavik::details::cancellation_source cancelled;
    cancelled.cancel();
    bytes buffer(16, std::byte{0xCD});
    EXPECT_EQ(hresult_of([&] {
                  tavik::details::wait_blocking_result(
                      served->root->read_file_data(L"eight.bin", 0, 16, buffer.data(), cancelled));
              }),
              static_cast<long>(0x800704C7));
    EXPECT_EQ(buffer, untouched);
}

// Waits for a read at most a minute: a read that never completes fails the test instead of
// hanging it. The thread of a read that hangs is left behind.
std::error_code finish_within_a_minute(served_folder& served, const std::wstring& relative, bytes& buffer,
                                       bool& raised)
{
    struct outcome {
        HANDLE done = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        std::error_code error;
        bool raised = false;
    };
    auto result = std::make_shared<outcome>();
    auto future = served.root->read_file_data(relative, 0, static_cast<std::uint32_t>(buffer.size()), buffer.data(),
                                              served.caller);
    std::thread([result, future = std::move(future)]() mutable {
        try {
            result->error = tavik::details::wait_blocking_result(std::move(future));
        } catch (...) {
            result->raised = true;
        }
        SetEvent(result->done);
    }).detach();
    if (WaitForSingleObject(result->done, 60000) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the read never completed";
        raised = false;
        return make_error_code(std::errc::timed_out);
    }
    CloseHandle(result->done);
    raised = result->raised;
    return result->error;
}

TEST(ProjectionFailures, BlockFileThatCannotBeLoadedFailsTheReadWithoutAHang)
{
    ASSERT_TRUE(projfs::available());
    fault_file_system faults;
    served_folder served(64u << 10, &faults);
    // Several files' worth of chunks, in several block files.
    served.add(L"data.bin", random_bytes(6, 600000));
    served.optimize();

    int failed = 0;
    for (const auto& [name, content] : snapshot_folder(dedup::block_folder_path(served.store_path()))) {
        if (name.ends_with(L"\\"))
            continue;
        faults.fail_reads(fault_file_system::read_kind::read, name, ERROR_CRC);
        served.reopen();
        bytes buffer(600000);
        bool raised = false;
        const auto error = finish_within_a_minute(served, L"data.bin", buffer, raised);
        faults.clear_read_failures();
        if (error == std::errc::timed_out)
            return;  // a read left hanging holds the folder: nothing more can be tried
        if (raised) {
            ++failed;
        } else {
            EXPECT_EQ(error, std::error_code()) << testing::PrintToString(name);
            EXPECT_TRUE(buffer == served.contents.at(L"data.bin")) << testing::PrintToString(name);
        }
    }
    EXPECT_GT(failed, 1) << "the list's file and the data files each fail the read";
}

TEST(ProjectionFailures, TreeNamingABlockTheStoreDoesNotHoldIsAnInternalError)
{
    ASSERT_TRUE(projfs::available());
    served_folder served(small_block_files);
    served.add(L"a.bin", random_bytes(7, 50000));
    served.add(L"b.bin", random_bytes(8, 50000));
    served.optimize();

    // Point a.bin at a reference list that no block holds, as a tree and an index that disagree.
    auto image = load_store_image(served.store_path());
    auto found = dedup::impl::folder_t::find_path(image.tree, L"a.bin");
    ASSERT_TRUE(found);
    ASSERT_FALSE(found->item->streams.front().refs.empty());
    found->item->streams.front().refs.front().key = dedup::block_key{0x1234, 0x5678};
    tavik::details::wait_blocking_result(served.root->save_file_info(dedup::impl::serialize_tree(*image.tree), 7));
    served.reopen();

    auto [error, data] = served.read(L"a.bin", 100, 1000);
    EXPECT_EQ(error, make_error_code(dedup::internal_error::invariant_broken));
    EXPECT_EQ(data, bytes(1000, std::byte{0xCD}));
    auto [other_error, other] = served.read(L"b.bin", 0, 50000);
    EXPECT_EQ(other_error, std::error_code());
    EXPECT_EQ(other, served.contents.at(L"b.bin"));
}

} // namespace
