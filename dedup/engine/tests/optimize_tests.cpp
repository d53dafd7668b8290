// Optimize and the dry run over a virtualization root whose items are put into their on-disk
// states through the Projected File System emulation. After every operation the store files are
// read back as a load reads them, and their reference counts are recounted from the tree.

#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>
#include <dedup/engine/tests/optimize_test_support.h>

#include <platform/projfs/availability.h>
#include <platform/projfs/projfs.h>

#include <ostrel/com/ptr.h>

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

using namespace dedup::testing;
using dedup::purge_options;
using dedup::resync_stats;
using dedup::impl::root_folder;

constexpr long busy = static_cast<long>(0x80070420);
constexpr long cancelled = static_cast<long>(0x800704C7);

class Optimize : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(projfs::available()); }

    void TearDown() override
    {
        stop();
        if (made_store_ && !HasFailure()) {
            // Whatever the test did, the pair of store files holds together.
            auto image = load_store_image(store_path());
            EXPECT_EQ(recount_differences(image), "");
        }
    }

    // A new store for the folder, virtualized, with `fs` under its store.
    void start(dedup::store_file_system* fs = nullptr)
    {
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        options.store.file_system = fs;
        root_ = Ostrel::com::make<root_folder>(source_, options);
        ASSERT_EQ(root_->create(folder_, dedup::create_params{}), std::error_code());
        made_store_ = true;
        virtualize();
    }

    void virtualize()
    {
        GUID id{0x0b710000u + GetCurrentProcessId(), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        PrjMarkDirectoryAsPlaceholder(folder_.c_str(), nullptr, nullptr, &id);
        PRJ_CALLBACKS callbacks{};
        ASSERT_EQ(PrjStartVirtualizing(folder_.c_str(), &callbacks, nullptr, nullptr, &instance_), S_OK);
        root_->set_virtualization_context(instance_);
    }

    void stop()
    {
        if (instance_)
            PrjStopVirtualizing(instance_);
        instance_ = nullptr;
        root_ = nullptr;
    }

    // Drops the object and opens the folder again, as a restart of the server would.
    void reopen(dedup::store_file_system* fs = nullptr)
    {
        stop();
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        options.store.file_system = fs;
        root_ = Ostrel::com::make<root_folder>(source_, options);
        ASSERT_EQ(tavik::details::wait_blocking_result(root_->open(folder_)), std::error_code());
        virtualize();
    }

    std::wstring store_path() const { return dedup::store_folder_path(folder_); }
    // The store's files but the lock file, which nobody else may open.
    std::map<std::wstring, bytes> store_files() const
    {
        auto files = snapshot_folder(dedup::block_folder_path(store_path()));
        files[L"files.deinfo"] = read_file(dedup::file_info_path(store_path()));
        return files;
    }
    std::wstring full(const std::wstring& relative) const { return folder_ + L"\\" + relative; }

    void write(const std::wstring& relative, const bytes& content) { write_file(full(relative), content); }

    PRJ_FILE_STATE state_of(const std::wstring& relative)
    {
        PRJ_FILE_STATE state = PRJ_FILE_STATE(0);
        PrjGetOnDiskFileState(full(relative).c_str(), &state);
        return state;
    }

    std::expected<resync_stats, long> optimize(dedup::purge_flags flags = {}, std::function<void(const std::wstring&)> on_stage = {})
    {
        stages_.clear();
        auto callback = [this, on_stage](const std::wstring& stage, std::uint64_t done, std::uint64_t total) {
            {
                std::lock_guard lock(mutex_);
                EXPECT_LE(done, total) << testing::PrintToString(stage);
                if (!stage.empty())
                    stages_.push_back(stage);
            }
            if (on_stage && !stage.empty())
                on_stage(stage);
        };
        return tavik::details::wait_blocking_result(root_->optimize(caller_, 7, flags, callback));
    }

    tavik::details::cancellation_source source_;
    tavik::details::cancellation_source caller_;
    temp_folder base_;
    std::wstring folder_ = base_ / L"Data";
    Ostrel::com::ptr<root_folder> root_;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT instance_ = nullptr;
    bool made_store_ = false;
    std::mutex mutex_;
    std::vector<std::wstring> stages_;
};

const dedup::purge_flags both = dedup::purge_flags(purge_options::purge_cache) | purge_options::purge_blocks;

TEST_F(Optimize, AnUnchangedFolderWritesNothingAndReportsTwoStages)
{
    start();
    const auto before = store_files();
    auto result = optimize();
    ASSERT_TRUE(result) << std::hex << result.error();
    EXPECT_EQ(stages_, (std::vector<std::wstring>{L"Preparing", L"Searching for changes"}));
    EXPECT_EQ(result->files_added + result->placeholders_purged + result->blocks_purged, 0u);
    EXPECT_EQ(store_files(), before);

    result = optimize(dedup::purge_flags(purge_options::purge_blocks));
    ASSERT_TRUE(result);
    EXPECT_EQ(stages_, (std::vector<std::wstring>{L"Preparing", L"Searching for changes", L"Processing changes",
                                                  L"Completing data compression", L"Finishing", L"Purging blocks",
                                                  L"Purging cache"}));
}

TEST_F(Optimize, NewItemsAreStoredAndHandedBackFilesBeforeTheirFolder)
{
    start();
    make_folder(full(L"docs"));
    const bytes a = random_bytes(1, 300000), b = repeating_bytes(2, 70000);
    write(L"docs\\a.bin", a);
    write(L"docs\\b.txt", b);
    write(L"zeros.bin", bytes(1 << 20));
    auto result = optimize(both);
    ASSERT_TRUE(result) << std::hex << result.error();
    EXPECT_EQ(result->files_added, 3u);
    EXPECT_EQ(result->folders_added, 1u);
    // Handed back: the folder goes only after its files (the platform refuses a folder with local
    // files in it), so all four are counted.
    EXPECT_EQ(result->placeholders_purged, 4u);
    for (const wchar_t* path : {L"docs", L"docs\\a.bin", L"docs\\b.txt", L"zeros.bin"})
        EXPECT_NE(state_of(path), PRJ_FILE_STATE_FULL) << testing::PrintToString(std::wstring(path));

    auto image = load_store_image(store_path());
    EXPECT_EQ(stored_content(image, L"docs\\a.bin"), a);
    EXPECT_EQ(stored_content(image, L"docs\\b.txt"), b);
    EXPECT_EQ(stored_content(image, L"zeros.bin"), bytes(1 << 20));
    // A megabyte of zeros is one data block many times over.
    auto zeros = dedup::impl::folder_t::find_path(image.tree, L"zeros.bin");
    ASSERT_TRUE(zeros);
    std::size_t zero_blocks = 0;
    for (const auto& [key, entry] : image.store->index())
        zero_blocks += entry.references > 1;
    EXPECT_GE(zero_blocks, 1u);
    EXPECT_EQ(root_->get_statistics().block_count, image.store->index().size());
}

TEST_F(Optimize, ASecondOperationIsRefusedWhileOneRuns)
{
    start();
    write(L"a.txt", to_bytes("abc"));
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto first = root_->optimize(caller_, 7, {}, [&](const std::wstring& stage, std::uint64_t, std::uint64_t) {
        if (stage == L"Preparing") {
            SetEvent(reached);
            WaitForSingleObject(release, INFINITE);
        }
    });
    WaitForSingleObject(reached, INFINITE);
    auto second = optimize();
    SetEvent(release);
    ASSERT_FALSE(second);
    EXPECT_EQ(second.error(), busy);
    EXPECT_TRUE(tavik::details::wait_blocking_result(std::move(first)));
    CloseHandle(release);
    CloseHandle(reached);
}

TEST_F(Optimize, AFileWrittenAgainAfterItWasTakenInStaysFull)
{
    start();
    write(L"kept.txt", to_bytes("first version"));
    write(L"other.txt", to_bytes("unchanged"));
    auto result = optimize(both, [&](const std::wstring& stage) {
        if (stage != L"Purging cache")
            return;
        // Rewritten with its old times put back: only the size tells.
        HANDLE file = CreateFileW(full(L"kept.txt").c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                  OPEN_EXISTING, 0, nullptr);
        FILETIME created, written;
        GetFileTime(file, &created, nullptr, &written);
        DWORD n = 0;
        WriteFile(file, "second, longer version", 22, &n, nullptr);
        SetFileTime(file, &created, nullptr, &written);
        CloseHandle(file);
    });
    ASSERT_TRUE(result);
    EXPECT_EQ(state_of(L"kept.txt"), PRJ_FILE_STATE_FULL);
    EXPECT_EQ(read_file(full(L"kept.txt")), to_bytes("second, longer version"));
    EXPECT_NE(state_of(L"other.txt"), PRJ_FILE_STATE_FULL);
    EXPECT_EQ(result->placeholders_purged, 1u);
}

TEST_F(Optimize, CancelWhileProcessingLeavesBothStoreFilesAndRemovesItsBlockFiles)
{
    start();
    write(L"a.bin", random_bytes(3, 200000));
    write(L"b.bin", random_bytes(4, 200000));
    const auto before = store_files();
    auto result = optimize(both, [&](const std::wstring& stage) {
        if (stage == L"Processing changes")
            caller_.cancel();
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), cancelled);
    EXPECT_EQ(store_files(), before);
    EXPECT_EQ(state_of(L"a.bin"), PRJ_FILE_STATE_FULL);
}

TEST_F(Optimize, PurgeCacheHandsCleanPlaceholdersBack)
{
    start();
    write(L"a.txt", to_bytes("aaa"));
    write(L"b.txt", to_bytes("bbb"));
    ASSERT_TRUE(optimize(both));
    // Read back by the provider: placeholders again, clean.
    PRJ_PLACEHOLDER_INFO info{};
    info.FileBasicInfo.FileSize = 3;
    for (const wchar_t* path : {L"a.txt", L"b.txt"})
        ASSERT_EQ(PrjWritePlaceholderInfo(instance_, path, &info, sizeof info), S_OK);
    auto result = optimize();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->placeholders_purged, 0u);
    result = optimize(dedup::purge_flags(purge_options::purge_cache));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->placeholders_purged, 2u);
}

TEST_F(Optimize, DryRunWritesNothingAndGivesTheFiguresOfARealOptimize)
{
    make_folder(folder_);
    make_folder(full(L"sub"));
    write(L"a.bin", random_bytes(5, 100000));
    write(L"sub\\b.bin", random_bytes(5, 100000));
    write(L"sub\\c.txt", repeating_bytes(6, 50000));
    const auto before = snapshot_folder(base_.path());

    auto estimator = Ostrel::com::make<root_folder>(source_);
    auto dry = tavik::details::wait_blocking_result(estimator->convert(folder_, 7, caller_, {}));
    ASSERT_TRUE(dry) << std::hex << dry.error();
    EXPECT_EQ(snapshot_folder(base_.path()), before);
    EXPECT_EQ(dry->files_added, 3u);
    EXPECT_EQ(dry->folders_added, 1u);

    // A folder that is not there is not found, rather than estimated at zero.
    auto missing = tavik::details::wait_blocking_result(
        Ostrel::com::make<root_folder>(source_)->convert(base_ / L"None", 7, caller_, {}));
    ASSERT_FALSE(missing);
    EXPECT_EQ(missing.error(), static_cast<long>(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)));

    dedup::impl::root_folder_options options;
    options.store.eviction_timer = false;
    root_ = Ostrel::com::make<root_folder>(source_, options);
    dedup::create_params params;
    params.flags = dedup::create_params::adopt;
    ASSERT_EQ(root_->create(folder_, params), std::error_code());
    made_store_ = true;
    virtualize();
    auto real = optimize(both);
    ASSERT_TRUE(real) << std::hex << real.error();
    EXPECT_EQ(real->uncompressed_size, dry->uncompressed_size);
    EXPECT_EQ(real->unique_size, dry->unique_size);
    EXPECT_EQ(real->block_count, dry->block_count);
    EXPECT_EQ(real->files_added, dry->files_added);
    EXPECT_EQ(real->folders_added, dry->folders_added);

    // A folder with a store is refused, and nothing is read.
    auto again = tavik::details::wait_blocking_result(
        Ostrel::com::make<root_folder>(source_)->convert(folder_, 7, caller_, {}));
    EXPECT_FALSE(again);
}

} // namespace

namespace {

// A write failure at each step of the writing phase: the folder opens again, its pair of store
// files holds together, and each file reads back as it was before the run or as the run took it.
TEST_F(Optimize, AWriteFailureAtAnyStepLeavesAConsistentPair)
{
    const bytes old_a = random_bytes(7, 120000), new_a = random_bytes(8, 90000), b = repeating_bytes(9, 40000);
    for (std::uint64_t step = 1;; ++step) {
        SCOPED_TRACE(step);
        stop();
        test_support::remove_tree(base_.path() + L"\\Data");
        test_support::remove_tree(store_path());
        fault_file_system fs;
        start(&fs);
        write(L"a.bin", old_a);
        ASSERT_TRUE(optimize(both));
        write(L"a.bin", new_a);
        write(L"b.bin", b);
        fs.fail_at(fs.steps() + step, fault_file_system::mode::fail);
        auto result = optimize(both);
        const bool failed = fs.failed();
        // Some steps may fail without failing the run (a block folder that exists already, the
        // purge's deletions); the others fail it.
        if (!result) {
            EXPECT_TRUE(failed);
        }
        {
            // The live store is what its files on disk hold: both are committed together or not.
            const auto live = root_->get_statistics();
            const auto on_disk = load_store_image(store_path()).store->statistics();
            EXPECT_EQ(live.uncompressed_size, on_disk.uncompressed_size);
            EXPECT_EQ(live.unique_size, on_disk.unique_size);
            EXPECT_EQ(live.block_count, on_disk.block_count);
        }

        reopen();
        auto image = load_store_image(store_path());
        EXPECT_EQ(recount_differences(image), "");
        const auto a = stored_content(image, L"a.bin");
        EXPECT_TRUE(a == old_a || a == new_a);
        if (result) {
            EXPECT_EQ(a, new_a);
            EXPECT_EQ(stored_content(image, L"b.bin"), b);
        } else {
            EXPECT_EQ(a, old_a);
        }
        if (!failed)
            break;
        ASSERT_LT(step, 60u);
    }
}

// A crash (every step from one on fails, then the unflushed data is lost) at each step of the
// writing phase: the next load takes the pair that belongs together.
TEST_F(Optimize, ACrashAtAnyStepLeavesAPairTheNextLoadTakes)
{
    const bytes old_a = random_bytes(10, 120000), new_a = random_bytes(11, 90000);
    for (std::uint64_t step = 1;; ++step) {
        SCOPED_TRACE(step);
        stop();
        test_support::remove_tree(base_.path() + L"\\Data");
        test_support::remove_tree(store_path());
        fault_file_system fs;
        start(&fs);
        write(L"a.bin", old_a);
        ASSERT_TRUE(optimize(both));
        write(L"a.bin", new_a);
        fs.fail_at(fs.steps() + step, fault_file_system::mode::crash);
        auto result = optimize(both);
        const bool crashed = fs.crashed();
        stop();
        fs.apply_power_loss();

        reopen();
        auto image = load_store_image(store_path());
        EXPECT_EQ(recount_differences(image), "");
        const auto a = stored_content(image, L"a.bin");
        EXPECT_TRUE(a == old_a || a == new_a);
        if (!crashed) {
            EXPECT_TRUE(result);
            break;
        }
        ASSERT_LT(step, 60u);
    }
}

} // namespace
