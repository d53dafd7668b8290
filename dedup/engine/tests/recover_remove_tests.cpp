// Recover, the emptiness test and the removal of a folder, over a virtualization root whose items
// are put into their on-disk states through the Projected File System emulation.

#include <dedup/engine/projection_control.h>
#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>
#include <dedup/engine/tests/store_test_support.h>
#include <dedup/engine/tests/unix_links.h>

#include <platform/projfs/availability.h>
#include <platform/projfs/projfs.h>

#include <ostrel/com/ptr.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using namespace dedup::testing;
using dedup::purge_options;
using dedup::impl::root_folder;

constexpr long busy = static_cast<long>(0x80070420);
constexpr long dir_not_empty = static_cast<long>(0x80070091);
constexpr long access_denied = static_cast<long>(0x80070005);

class RecoverRemove : public ::testing::Test, public dedup::projection_control {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(projfs::available());
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        root_ = Ostrel::com::make<root_folder>(source_, options);
        ASSERT_EQ(root_->create(folder_, dedup::create_params{}), std::error_code());
        virtualize();
    }

    void TearDown() override
    {
        stop();
        root_ = nullptr;
    }

    void virtualize()
    {
        GUID id{0x0b720000u + GetCurrentProcessId(), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        PrjMarkDirectoryAsPlaceholder(folder_.c_str(), nullptr, nullptr, &id);
        PRJ_CALLBACKS callbacks{};
        ASSERT_EQ(PrjStartVirtualizing(folder_.c_str(), &callbacks, nullptr, nullptr, &instance_), S_OK);
        root_->set_virtualization_context(instance_);
    }

    // The projection as the folder server would hand it to a removal; `on_stop` runs just before the
    // instance stops (an application still writing into the folder).
    void stop() noexcept override
    {
        ++stops_;
        if (on_stop_)
            on_stop_();
        if (instance_)
            PrjStopVirtualizing(instance_);
        instance_ = nullptr;
        root_->set_virtualization_context(nullptr);
    }
    HRESULT restart() noexcept override
    {
        ++restarts_;
        virtualize();
        return S_OK;
    }

    std::wstring full(const std::wstring& relative) const { return folder_ + L"\\" + relative; }
    void write(const std::wstring& relative, const std::string& text) { write_file(full(relative), to_bytes(text)); }
    PRJ_FILE_STATE state_of(const std::wstring& relative)
    {
        PRJ_FILE_STATE state = PRJ_FILE_STATE(0);
        PrjGetOnDiskFileState(full(relative).c_str(), &state);
        return state;
    }
    std::wstring store_path() const { return dedup::store_folder_path(folder_); }
    bool exists(const std::wstring& path) const { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

    void optimize_all()
    {
        const dedup::purge_flags both = dedup::purge_flags(purge_options::purge_cache) | purge_options::purge_blocks;
        auto result = tavik::details::wait_blocking_result(root_->optimize(caller_, 7, both, {}));
        ASSERT_TRUE(result) << std::hex << result.error();
    }

    std::expected<dedup::recover_stats, long> recover() { return root_->recover(caller_, {}); }

    tavik::details::cancellation_source source_;
    tavik::details::cancellation_source caller_;
    temp_folder base_;
    std::wstring folder_ = base_ / L"Data";
    Ostrel::com::ptr<root_folder> root_;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT instance_ = nullptr;
    std::function<void()> on_stop_;
    int stops_ = 0;
    int restarts_ = 0;
};

TEST_F(RecoverRemove, RecoverBringsBackExactlyTheDeletedItems)
{
    make_folder(full(L"docs"));
    write(L"docs\\d.txt", "d");
    write(L"a.txt", "a");
    write(L"b.txt", "b");
    write(L"c.txt", "c");
    optimize_all();
    ASSERT_TRUE(DeleteFileW(full(L"a.txt").c_str()));
    ASSERT_TRUE(DeleteFileW(full(L"b.txt").c_str()));
    ASSERT_TRUE(DeleteFileW(full(L"docs\\d.txt").c_str()));
    ASSERT_TRUE(RemoveDirectoryW(full(L"docs").c_str()));
    ASSERT_EQ(state_of(L"a.txt"), PRJ_FILE_STATE_TOMBSTONE);

    auto result = recover();
    ASSERT_TRUE(result) << std::hex << result.error();
    EXPECT_EQ(result->files_recovered, 2u);
    EXPECT_EQ(result->folders_recovered, 1u);
    for (const wchar_t* path : {L"a.txt", L"b.txt", L"docs", L"c.txt"})
        EXPECT_NE(state_of(path), PRJ_FILE_STATE_TOMBSTONE) << testing::PrintToString(std::wstring(path));

    // Nothing is deleted any more; after an optimize that followed a deletion nothing comes back.
    result = recover();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->files_recovered + result->folders_recovered, 0u);
    ASSERT_TRUE(DeleteFileW(full(L"c.txt").c_str()));
    optimize_all();
    result = recover();
    ASSERT_TRUE(result);
    EXPECT_EQ(result->files_recovered + result->folders_recovered, 0u);
}

TEST_F(RecoverRemove, AnOperationRunningMakesRecoverAndRemoveBusyAndTheFolderNotEmpty)
{
    write(L"a.txt", "abc");
    HANDLE release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE reached = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    auto first = root_->optimize(caller_, 7, {}, [&](const std::wstring& stage, std::uint64_t, std::uint64_t) {
        if (stage == L"Preparing") {
            SetEvent(reached);
            WaitForSingleObject(release, INFINITE);
        }
    });
    WaitForSingleObject(reached, INFINITE);
    auto recovered = recover();
    const bool empty = root_->is_empty();
    const std::int32_t removed = root_->remove();
    SetEvent(release);
    ASSERT_FALSE(recovered);
    EXPECT_EQ(recovered.error(), busy);
    EXPECT_FALSE(empty);
    EXPECT_EQ(removed, busy);
    EXPECT_TRUE(tavik::details::wait_blocking_result(std::move(first)));
    EXPECT_TRUE(exists(full(L"a.txt")));
    CloseHandle(release);
    CloseHandle(reached);
}

TEST_F(RecoverRemove, EmptyOnlyWhileNothingIsOnDiskOrStored)
{
    EXPECT_TRUE(root_->is_empty());
    write(L"a.txt", "abc");
    EXPECT_FALSE(root_->is_empty());
    optimize_all();
    EXPECT_NE(state_of(L"a.txt"), PRJ_FILE_STATE_FULL);
    EXPECT_FALSE(root_->is_empty());
}

TEST_F(RecoverRemove, RemoveDeletesTheFolderAndItsStoreButNotWhatALinkNames)
{
    temp_folder outside;
    make_folder(outside / L"inner");
    write_file(outside / L"inner\\secret.txt", to_bytes("outside"));
    write_file(outside / L"top.txt", to_bytes("top"));
    make_folder(full(L"sub"));
    write(L"sub\\x.txt", "x");
    write(L"y.txt", "y");
    optimize_all();
    write(L"full.txt", "not stored");
    unix_links links;
    if (!links.make(unix_path(outside.path()), full(L"out")) ||
        !links.make(unix_path(outside / L"inner"), full(L"sub\\inner-link")))
        GTEST_SKIP() << "no links can be made here";

    const std::int32_t removed = root_->remove();
    EXPECT_TRUE(exists(outside / L"inner"));
    EXPECT_EQ(read_file(outside / L"inner\\secret.txt"), to_bytes("outside"));
    EXPECT_EQ(read_file(outside / L"top.txt"), to_bytes("top"));
    if (removed == S_OK) {
        EXPECT_FALSE(exists(folder_));
        EXPECT_FALSE(exists(store_path()));
    } else {
        // Wine cannot delete a Unix symbolic link to a folder from the Windows side (it tests the
        // folder it names for emptiness): the removal stops at the link, which is still there.
        EXPECT_EQ(removed, static_cast<std::int32_t>(dir_not_empty));
        EXPECT_TRUE(exists(full(L"out")) || exists(full(L"sub\\inner-link")));
    }
}

TEST_F(RecoverRemove, ARemovalStopsAtAFileItCannotDelete)
{
    write(L"locked.txt", "r");
    ASSERT_TRUE(SetFileAttributesW(full(L"locked.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(root_->remove(), access_denied);
    EXPECT_TRUE(exists(full(L"locked.txt")));
    EXPECT_TRUE(exists(dedup::file_info_path(store_path())));
    SetFileAttributesW(full(L"locked.txt").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(RecoverRemove, WithoutForceAFileWrittenBeforeTheProjectionStopsIsKept)
{
    ASSERT_TRUE(root_->is_empty());
    // Between the folder server's emptiness test and the stop of the projection.
    on_stop_ = [this] { write(L"late.txt", "late"); };
    EXPECT_EQ(root_->remove({.force = false, .projection = this}), dir_not_empty);
    EXPECT_EQ(read_file(full(L"late.txt")), to_bytes("late"));
    EXPECT_TRUE(exists(dedup::file_info_path(store_path())));
    EXPECT_EQ(stops_, 1);
    EXPECT_EQ(restarts_, 1);
    EXPECT_NE(instance_, nullptr);

    // Once the file is gone, the same removal goes through and leaves the projection stopped.
    on_stop_ = nullptr;
    ASSERT_TRUE(DeleteFileW(full(L"late.txt").c_str()));
    EXPECT_EQ(root_->remove({.force = false, .projection = this}), S_OK);
    EXPECT_FALSE(exists(folder_));
    EXPECT_FALSE(exists(store_path()));
    EXPECT_EQ(restarts_, 1);
}

} // namespace

namespace {

// A folder nobody can see into may hold files that are not stored: it is not empty, and a removal
// without force refuses it.
TEST_F(RecoverRemove, AFolderThatCannotBeListedIsNotEmpty)
{
    write(L"unstored.txt", "written, not stored");
    HANDLE held = CreateFileW(folder_.c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
                              nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const bool empty = root_->is_empty();
    const std::int32_t removed = root_->remove({.force = false, .projection = this});
    CloseHandle(held);
    EXPECT_FALSE(empty);
    EXPECT_EQ(removed, static_cast<std::int32_t>(dir_not_empty));
    EXPECT_EQ(read_file(full(L"unstored.txt")), to_bytes("written, not stored"));
    EXPECT_EQ(restarts_, 1);
}

} // namespace
