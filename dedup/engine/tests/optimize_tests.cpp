// Optimize and the dry run over a virtualization root whose items are put into their on-disk
// states through the Projected File System emulation. After every operation the store files are
// read back as a load reads them, and their reference counts are recounted from the tree.

#include <dedup/engine/gear_chunker.h>
#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>
#include <dedup/engine/tests/optimize_test_support.h>

#include <platform/projfs/availability.h>
#include <platform/projfs/projfs.h>

#include <ostrel/com/ptr.h>
#include <ostrel/logger.h>

#include <tavik/error.h>
#include <tavik/io/overlapped_io.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
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

// The process's logger for the length of a test: keeps every line.
class captured_log final : public ILogger {
public:
    captured_log() : previous_(global_logger) { global_logger = this; }
    ~captured_log() override { global_logger = previous_; }
    captured_log(const captured_log&) = delete;
    captured_log& operator=(const captured_log&) = delete;

    bool open(std::wstring_view, bool, int) override { return true; }
    void log(std::wstring_view text, int level) override { keep(std::wstring(text), level); }
    void log(std::wstring&& text, int level) override { keep(std::move(text), level); }
    using ILogger::log;
    void stop() override {}

    std::vector<std::wstring> lines(int level)
    {
        std::lock_guard guard(mutex_);
        std::vector<std::wstring> out;
        for (const auto& [at, text] : lines_)
            if (at == level)
                out.push_back(text);
        return out;
    }

private:
    void keep(std::wstring text, int level)
    {
        std::lock_guard guard(mutex_);
        lines_.emplace_back(level, std::move(text));
    }

    ILogger* previous_;
    std::mutex mutex_;
    std::vector<std::pair<int, std::wstring>> lines_;
};

// ReadFile as the system does it, except the read at one stream offset, which a test replaces.
class hooked_reads final : public tavik::io::file_io_calls {
public:
    std::uint64_t offset = ~std::uint64_t(0);
    std::function<BOOL(HANDLE, void*, DWORD, OVERLAPPED*)> replace;

    BOOL read(HANDLE file, void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept override
    {
        const std::uint64_t at = std::uint64_t(overlapped->OffsetHigh) << 32 | overlapped->Offset;
        if (at == offset && replace)
            return replace(file, buffer, length, overlapped);
        return tavik::io::system_file_io_calls().read(file, buffer, length, overlapped);
    }
    BOOL write(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* overlapped) noexcept override
    {
        return tavik::io::system_file_io_calls().write(file, buffer, length, overlapped);
    }
};

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
        root_ = Ostrel::com::make<root_folder>(source_, folder_options(fs));
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
        root_ = Ostrel::com::make<root_folder>(source_, folder_options(fs));
        ASSERT_EQ(tavik::details::wait_blocking_result(root_->open(folder_)), std::error_code());
        virtualize();
    }

    dedup::impl::root_folder_options folder_options(dedup::store_file_system* fs) const
    {
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        options.store.file_system = fs;
        options.progress_period = progress_period_;
        options.file_reads = file_reads_;
        return options;
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

    // What the provider writes when an application opens a projected item: a clean placeholder.
    // A read-only one that an application makes writable is a dirty placeholder.
    void write_placeholder(const std::wstring& relative, std::uint64_t size, bool folder = false,
                           bool dirty = false)
    {
        PRJ_PLACEHOLDER_INFO info{};
        info.FileBasicInfo.IsDirectory = folder;
        info.FileBasicInfo.FileSize = static_cast<INT64>(size);
        info.FileBasicInfo.FileAttributes = dirty ? FILE_ATTRIBUTE_READONLY : 0;
        ASSERT_EQ(PrjWritePlaceholderInfo(instance_, relative.c_str(), &info, sizeof info), S_OK)
            << testing::PrintToString(relative);
        if (dirty) {
            ASSERT_TRUE(SetFileAttributesW(full(relative).c_str(), FILE_ATTRIBUTE_NORMAL));
        }
    }

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
    std::chrono::milliseconds progress_period_{1000};
    tavik::io::file_io_calls* file_reads_ = nullptr;
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
    // Exactly one data block: a run of one byte value never cuts early, so the zeros are cut only
    // where the reader's pieces end, into equal chunks, and each chunk references that block.
    const auto refs = data_references(image, L"zeros.bin");
    ASSERT_EQ(refs.size(), (1u << 20) / dedup::max_pending_length);
    for (std::size_t i = 0; i < refs.size(); ++i) {
        EXPECT_EQ(refs[i].key, refs[0].key) << "chunk " << i;
        EXPECT_EQ(refs[i].offset, i * dedup::max_pending_length) << "chunk " << i;
    }
    const auto zero_block = image.store->index().find(refs[0].key);
    ASSERT_NE(zero_block, image.store->index().end());
    EXPECT_EQ(zero_block->second.references, refs.size());
    EXPECT_EQ(zero_block->second.size, dedup::max_pending_length);
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
    // Each is rewritten between its ingestion and the hand-back, in a way that hides one more of
    // the signs of a change.
    struct rewrite {
        const wchar_t* name;
        const char* content;  // the first version is "first version", 13 bytes
        std::int64_t last_write_shift;  // 100-ns units added to the time it had
    };
    const rewrite rewrites[] = {
        // Its old times put back: its size tells.
        {L"longer.txt", "second, longer version", 0},
        // Of the same size, its old times put back: only its change time tells.
        {L"same-size.txt", "FIRST VERSION", 0},
        // Of the same size, with a last write time older than the one taken in.
        {L"older.txt", "FIRST VERSION", -36'000'000'000},
    };
    start();
    for (const rewrite& r : rewrites)
        write(r.name, to_bytes("first version"));
    write(L"other.txt", to_bytes("unchanged"));
    auto result = optimize(both, [&](const std::wstring& stage) {
        if (stage != L"Purging cache")
            return;
        for (const rewrite& r : rewrites) {
            HANDLE file = CreateFileW(full(r.name).c_str(), GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(file, INVALID_HANDLE_VALUE);
            FILETIME created, written;
            GetFileTime(file, &created, nullptr, &written);
            ULARGE_INTEGER time{{written.dwLowDateTime, written.dwHighDateTime}};
            time.QuadPart += r.last_write_shift;
            written = FILETIME{time.LowPart, time.HighPart};
            DWORD n = 0;
            WriteFile(file, r.content, DWORD(std::strlen(r.content)), &n, nullptr);
            SetFileTime(file, &created, nullptr, &written);
            CloseHandle(file);
        }
    });
    ASSERT_TRUE(result);
    for (const rewrite& r : rewrites) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(r.name)));
        EXPECT_EQ(state_of(r.name), PRJ_FILE_STATE_FULL);
        EXPECT_EQ(read_file(full(r.name)), to_bytes(r.content));
    }
    EXPECT_NE(state_of(L"other.txt"), PRJ_FILE_STATE_FULL);
    EXPECT_EQ(result->placeholders_purged, 1u);
}

// A clean placeholder goes back only while it is clean: one that an application writes after the
// scan keeps what was written, and the next run takes it in.
TEST_F(Optimize, ACleanPlaceholderWrittenAfterTheScanKeepsItsData)
{
    start();
    write(L"a.txt", to_bytes("aaa"));
    ASSERT_TRUE(optimize(both));
    write_placeholder(L"a.txt", 3);
    ASSERT_EQ(state_of(L"a.txt"), PRJ_FILE_STATE_PLACEHOLDER);
    auto result = optimize(dedup::purge_flags(purge_options::purge_cache), [&](const std::wstring& stage) {
        if (stage == L"Purging cache")
            write(L"a.txt", to_bytes("edited"));
    });
    ASSERT_TRUE(result);
    EXPECT_EQ(state_of(L"a.txt"), PRJ_FILE_STATE_FULL);
    EXPECT_EQ(read_file(full(L"a.txt")), to_bytes("edited"));

    ASSERT_TRUE(optimize(both));
    EXPECT_EQ(stored_content(load_store_image(store_path()), L"a.txt"), to_bytes("edited"));
}

// Clean placeholders add nothing to the total and dirty ones count once, yet the hand-back moves
// done for both: the progress reported in its middle (the period is short so that ticks fall
// there) stays within the total, which the fixture's callback checks on every call.
TEST_F(Optimize, ProgressNeverPassesItsTotal)
{
    progress_period_ = std::chrono::milliseconds(1);
    start();
    auto name = [](int i) { return L"f" + std::to_wstring(i) + L".txt"; };
    constexpr int count = 60;
    for (int i = 0; i < count; ++i)
        write(name(i), to_bytes("abc"));
    ASSERT_TRUE(optimize(both));
    for (int i = 0; i < count; ++i)
        write_placeholder(name(i), 3, false, i % 3 == 0);
    ASSERT_EQ(state_of(name(0)), PRJ_FILE_STATE(PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_DIRTY_PLACEHOLDER));
    std::uint64_t last_done = 0, last_total = 0;
    auto result = tavik::details::wait_blocking_result(root_->optimize(
        caller_, 7, dedup::purge_flags(purge_options::purge_cache),
        [&](const std::wstring& stage, std::uint64_t done, std::uint64_t total) {
            std::lock_guard lock(mutex_);
            EXPECT_LE(done, total) << testing::PrintToString(stage);
            last_done = done;
            last_total = total;
        }));
    ASSERT_TRUE(result);
    EXPECT_EQ(result->placeholders_purged, std::uint64_t(count));
    EXPECT_EQ(last_done, last_total);
}

TEST_F(Optimize, CancelWhileProcessingLeavesBothStoreFilesAndRemovesItsBlockFiles)
{
    start();
    write(L"a.bin", random_bytes(3, 200000));
    write(L"b.bin", random_bytes(4, 200000));
    const auto before = store_files();
    captured_log log;
    auto result = optimize(both, [&](const std::wstring& stage) {
        if (stage == L"Processing changes")
            caller_.cancel();
    });
    ASSERT_FALSE(result);
    EXPECT_EQ(result.error(), cancelled);
    // The failure is logged with its code and the system's text for it.
    const std::wstring text = tavik::details::hresult_error_impl::message(cancelled);
    EXPECT_NE(text, L"");
    const auto lines = log.lines(4);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), L"Optimize operation completed with error 0x800704c7: " + text + L".\r\n");
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

namespace {

// A file whose read fails after some of its blocks were added leaves every count as it was: the
// stored version stays, with exactly the references it had, and the file stays on disk as written.
TEST_F(Optimize, AFileThatCannotBeReadToItsEndLeavesTheCountsAsTheyWere)
{
    struct fault {
        const char* what;
        std::function<BOOL(const std::wstring& path, HANDLE, void*, DWORD, OVERLAPPED*)> read;
    };
    const fault faults[] = {
        {"a failed read",
         [](const std::wstring&, HANDLE, void*, DWORD, OVERLAPPED*) -> BOOL {
             SetLastError(ERROR_CRC);
             return FALSE;
         }},
        {"a file written while it is read",
         [](const std::wstring& path, HANDLE file, void* buffer, DWORD length, OVERLAPPED* overlapped) -> BOOL {
             HANDLE writer = CreateFileW(path.c_str(), FILE_APPEND_DATA,
                                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                         OPEN_EXISTING, 0, nullptr);
             DWORD n = 0;
             WriteFile(writer, "more", 4, &n, nullptr);
             CloseHandle(writer);
             return tavik::io::system_file_io_calls().read(file, buffer, length, overlapped);
         }},
    };
    hooked_reads reads;
    file_reads_ = &reads;
    start();
    const bytes stored = random_bytes(20, 1 << 20);
    write(L"big.bin", stored);
    ASSERT_TRUE(optimize(both));
    std::uint32_t seed = 21;
    for (const fault& f : faults) {
        SCOPED_TRACE(f.what);
        const bytes written = random_bytes(seed++, 1 << 20);
        const bytes small = random_bytes(seed++, 5000);
        write(L"big.bin", written);
        write(L"small.bin", small);
        // The third piece: the chunks of the first are in the writer by then.
        reads.offset = 2 * dedup::max_pending_length;
        reads.replace = [&](HANDLE file, void* buffer, DWORD length, OVERLAPPED* overlapped) {
            return f.read(full(L"big.bin"), file, buffer, length, overlapped);
        };
        auto result = optimize(both);
        reads.replace = {};
        ASSERT_TRUE(result) << std::hex << result.error();
        EXPECT_EQ(state_of(L"big.bin"), PRJ_FILE_STATE_FULL);
        auto image = load_store_image(store_path());
        EXPECT_EQ(recount_differences(image), "");
        EXPECT_EQ(stored_content(image, L"big.bin"), stored);
        EXPECT_EQ(stored_content(image, L"small.bin"), small);
    }
}

// Many new items at once: their opens and reads overlap, but they are taken in one after another in
// the change list's order, so the figures do not depend on timing (two dry runs and the optimize
// agree to the byte count of the compressed files), every file is stored whole, files that fail
// while read ahead stay full and out of the store, and the counts stay exact.
TEST_F(Optimize, ManyItemsReadAheadAtOnceAreTakenInInOrderStress)
{
    constexpr std::size_t sizes[] = {0, 1, 100, 4096, 262143, 262144, 262145, 600000, 7777, 7778};
    constexpr int files = 90;
    hooked_reads reads;
    reads.offset = 0;
    // Files of 7777 bytes fail their read; files of 7778 bytes are written while they are read.
    reads.replace = [](HANDLE file, void* buffer, DWORD length, OVERLAPPED* overlapped) -> BOOL {
        LARGE_INTEGER size{};
        GetFileSizeEx(file, &size);
        if (size.QuadPart == 7777) {
            SetLastError(ERROR_CRC);
            return FALSE;
        }
        if (size.QuadPart == 7778) {
            wchar_t path[MAX_PATH];
            if (GetFinalPathNameByHandleW(file, path, MAX_PATH, 0)) {
                HANDLE writer = CreateFileW(path, FILE_WRITE_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                            nullptr, OPEN_EXISTING, 0, nullptr);
                // Same size, new bytes and times.
                Sleep(2);
                DWORD n = 0;
                WriteFile(writer, "more", 4, &n, nullptr);
                CloseHandle(writer);
            }
        }
        return tavik::io::system_file_io_calls().read(file, buffer, length, overlapped);
    };
    file_reads_ = &reads;

    make_folder(folder_);
    std::map<std::wstring, bytes> contents;
    for (int i = 0; i < files; ++i) {
        const std::wstring folder = L"f" + std::to_wstring(i % 3);
        if (i < 3)
            make_folder(full(folder));
        const std::size_t size = sizes[i % std::size(sizes)];
        // Every fourth file repeats an earlier one of its size: shared blocks across the window.
        const std::uint32_t seed = (i % 4 == 3) ? 100 + (i - 3) % 10 : 1000 + i;
        const bytes content = (i % 2) ? repeating_bytes(seed, size) : random_bytes(seed, size);
        const std::wstring path = folder + L"\\" + std::to_wstring(i) + (i % 5 ? L".bin" : L".txt");
        write(path, content);
        contents[path] = content;
    }

    std::vector<resync_stats> dry_runs;
    for (int run = 0; run < 2; ++run) {
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        options.file_reads = &reads;
        auto estimator = Ostrel::com::make<root_folder>(source_, options);
        auto dry = tavik::details::wait_blocking_result(estimator->convert(folder_, 7, caller_, {}));
        ASSERT_TRUE(dry) << std::hex << dry.error();
        dry_runs.push_back(*dry);
    }
    EXPECT_EQ(dry_runs[0].compressed_size, dry_runs[1].compressed_size);
    EXPECT_EQ(dry_runs[0].unique_size, dry_runs[1].unique_size);

    root_ = Ostrel::com::make<root_folder>(source_, folder_options(nullptr));
    dedup::create_params params;
    params.flags = dedup::create_params::adopt;
    ASSERT_EQ(root_->create(folder_, params), std::error_code());
    made_store_ = true;
    virtualize();
    auto real = optimize(both);
    ASSERT_TRUE(real) << std::hex << real.error();
    EXPECT_EQ(real->files_added, std::uint32_t(files));
    EXPECT_EQ(real->uncompressed_size, dry_runs[0].uncompressed_size);
    EXPECT_EQ(real->unique_size, dry_runs[0].unique_size);
    EXPECT_EQ(real->block_count, dry_runs[0].block_count);

    auto image = load_store_image(store_path());
    for (const auto& [path, content] : contents) {
        SCOPED_TRACE(testing::PrintToString(path));
        if (content.size() == 7777 || content.size() == 7778) {
            EXPECT_EQ(state_of(path), PRJ_FILE_STATE_FULL);
            EXPECT_EQ(stored_content(image, path), std::nullopt);
        } else {
            EXPECT_EQ(stored_content(image, path), content);
        }
    }
}

// A placeholder that an application moved is taken in under its new path and read before its old
// path is released. When it cannot be read, its data is still only under the old path: the run
// then releases nothing and hands no deletion back.
TEST_F(Optimize, AMovedPlaceholderIsReadBeforeItsOldPathIsReleased)
{
    start();
    const bytes old_data = to_bytes("the data of old.txt");
    write(L"old.txt", old_data);
    write(L"gone.txt", to_bytes("deleted meanwhile"));
    ASSERT_TRUE(optimize(both));
    // Renamed: the platform leaves a tombstone at the old path and a placeholder at the new one.
    ASSERT_TRUE(DeleteFileW(full(L"old.txt").c_str()));
    write_placeholder(L"new.txt", old_data.size());
    ASSERT_TRUE(DeleteFileW(full(L"gone.txt").c_str()));
    ASSERT_EQ(state_of(L"old.txt"), PRJ_FILE_STATE_TOMBSTONE);

    // The moved item cannot be opened while the run reads it.
    HANDLE held = INVALID_HANDLE_VALUE;
    auto result = optimize(both, [&](const std::wstring& stage) {
        if (stage == L"Processing changes")
            held = CreateFileW(full(L"new.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    });
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    CloseHandle(held);
    ASSERT_TRUE(result) << std::hex << result.error();
    {
        auto image = load_store_image(store_path());
        EXPECT_EQ(stored_content(image, L"old.txt"), old_data);
        EXPECT_TRUE(stored_content(image, L"gone.txt"));
        EXPECT_FALSE(stored_content(image, L"new.txt"));
        EXPECT_EQ(state_of(L"old.txt"), PRJ_FILE_STATE_TOMBSTONE);
        EXPECT_EQ(state_of(L"gone.txt"), PRJ_FILE_STATE_TOMBSTONE);
    }

    // Read, it takes the old path's place.
    result = optimize(both);
    ASSERT_TRUE(result) << std::hex << result.error();
    auto image = load_store_image(store_path());
    EXPECT_TRUE(stored_content(image, L"new.txt"));
    EXPECT_FALSE(stored_content(image, L"old.txt"));
    EXPECT_FALSE(stored_content(image, L"gone.txt"));
    EXPECT_EQ(result->files_deleted, 2u);
}

// A folder taken in again (one the projection never had back, full on disk) keeps the stored
// items below it: those the run does not read stay stored with their references.
TEST_F(Optimize, AFolderTakenInAgainKeepsItsChildren)
{
    start();
    root_->set_virtualization_context(nullptr);
    make_folder(full(L"docs"));
    make_folder(full(L"docs\\sub"));
    const bytes a = random_bytes(30, 20000), b = random_bytes(31, 20000);
    write(L"docs\\a.bin", a);
    write(L"docs\\sub\\b.bin", b);
    ASSERT_TRUE(optimize(both));
    ASSERT_EQ(state_of(L"docs"), PRJ_FILE_STATE_FULL);
    // Only the folders are taken in again: the files are written back as clean placeholders.
    for (const wchar_t* path : {L"docs\\a.bin", L"docs\\sub\\b.bin"}) {
        ASSERT_TRUE(DeleteFileW(full(path).c_str()));
        write_placeholder(path, 20000);
    }
    root_->set_virtualization_context(instance_);
    auto result = optimize(both);
    ASSERT_TRUE(result) << std::hex << result.error();
    EXPECT_EQ(result->folders_added, 2u);
    EXPECT_EQ(result->files_added, 0u);
    auto image = load_store_image(store_path());
    EXPECT_EQ(stored_content(image, L"docs\\a.bin"), a);
    EXPECT_EQ(stored_content(image, L"docs\\sub\\b.bin"), b);
}

} // namespace
