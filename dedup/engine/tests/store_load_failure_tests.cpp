// A load that fails at any of its reads: every read of a store goes through its file system, so a
// test can make the folder listing, the index file's mapping, the tree file's open, size or read,
// or a block file's open fail. Each gives "Folder is invalid" or the failing step's own error, and
// none changes anything on disk: the store opens again as it was once the failure is gone.

#include "store_test_support.h"

#include <dedup/engine/block_store.h>
#include <dedup/engine/block_writer.h>
#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>

#include <ostrel/com/ptr.h>
#include <tavik/error.h>
#include <tavik/error_categories.h>

#include <gtest/gtest.h>

namespace dedup {
namespace {

using namespace dedup::testing;
using read_kind = fault_file_system::read_kind;

std::error_code hresult_code(DWORD error) { return make_hresult_error_code(HRESULT_FROM_WIN32(error)); }

class StoreLoadFailure : public ::testing::Test {
protected:
    void SetUp() override
    {
        {
            auto root = make_root(nullptr);
            ASSERT_EQ(root->create(folder_path, {}), std::error_code());
        }
        // Block files in the store's block folder and their index beside them (an empty tree
        // does not keep a store from loading its blocks).
        block_store store(block_store_options{nullptr, {}, 0, 0, false});
        store.init(block_folder_path(store_path), 4096);
        ASSERT_FALSE(store.open_store());
        auto writer = make_block_writer(store);
        for (std::uint32_t i = 0; i < 3; ++i) {
            contents.push_back(random_bytes(10 + i, 3000));
            ASSERT_TRUE(run(writer->add_block(key_of(contents.back()), contents.back().data(), 3000,
                                              block_kind::data, 7)));
        }
        run(complete_compression(*writer, 7));
        run(save_block_index(*writer));
        ASSERT_GE(list_files(block_folder_path(store_path) + L"\\0").size(), 2u);
        ASSERT_TRUE(file_exists(block_index_path(block_folder_path(store_path))));
    }

    Ostrel::com::ptr<impl::root_folder> make_root(store_file_system* fs)
    {
        impl::root_folder_options options;
        options.store.eviction_timer = false;
        options.store.file_system = fs;
        return Ostrel::com::make<impl::root_folder>(source, options);
    }

    // The open's returned error, or the error it raised.
    static std::error_code open_outcome(impl::root_folder& root, const std::wstring& path)
    {
        try {
            return tavik::details::wait_blocking_result(root.open(path));
        } catch (const tavik::details::hresult_error_impl& failure) {
            return make_hresult_error_code(failure.code());
        }
    }

    tavik::details::cancellation_source source;
    temp_folder base;
    std::wstring folder_path = base / L"Data";
    std::wstring store_path = base / L"Data.dedup";
    std::vector<bytes> contents;
};

TEST_F(StoreLoadFailure, EveryReadOfTheLoadCanFailAndChangesNothingOnDisk)
{
    const auto before = snapshot_folder(store_path);
    struct {
        const char* what;
        read_kind kind;
        const wchar_t* path_end;
        DWORD error;
        std::error_code expected;
    } cases[] = {
        {"listing the block folder", read_kind::list_folder, L"\\blocks", ERROR_READ_FAULT,
         hresult_code(ERROR_READ_FAULT)},
        {"listing a block subfolder", read_kind::list_folder, L"\\blocks\\0", ERROR_NOT_READY,
         hresult_code(ERROR_NOT_READY)},
        {"mapping \"blocks.ddb\"", read_kind::map_file, L"\\blocks.ddb", ERROR_NOT_ENOUGH_MEMORY,
         hresult_code(ERROR_NOT_ENOUGH_MEMORY)},
        {"opening \"blocks.ddb\" held by another", read_kind::map_file, L"\\blocks.ddb", ERROR_SHARING_VIOLATION,
         hresult_code(ERROR_SHARING_VIOLATION)},
        {"opening \"files.deinfo\"", read_kind::open_file, L"\\files.deinfo", ERROR_ACCESS_DENIED,
         create_error::folder_invalid},
        {"sizing \"files.deinfo\"", read_kind::file_size, L"\\files.deinfo", ERROR_INVALID_HANDLE,
         hresult_code(ERROR_INVALID_HANDLE)},
        {"reading \"files.deinfo\"", read_kind::read, L"\\files.deinfo", ERROR_CRC, hresult_code(ERROR_CRC)},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        {
            fault_file_system fs;
            fs.fail_reads(k.kind, k.path_end, k.error);
            auto root = make_root(&fs);
            EXPECT_EQ(open_outcome(*root, folder_path), k.expected);
            EXPECT_GT(fs.failed_reads(), 0u) << "the step was reached";
            EXPECT_EQ(root->get_statistics().block_count, 0u) << "no half-loaded store";
            EXPECT_EQ(fs.steps(), 1u) << "nothing written but the lock file";
        }
        EXPECT_EQ(snapshot_folder(store_path), before);

        auto root = make_root(nullptr);
        ASSERT_EQ(open_outcome(*root, folder_path), std::error_code());
        EXPECT_EQ(root->get_statistics().block_count, contents.size());
    }
}

TEST_F(StoreLoadFailure, ABlockFileThatCannotBeOpenedFailsItsReadsUntilItCan)
{
    const auto before = snapshot_folder(store_path);
    fault_file_system fs;
    block_store store(block_store_options{&fs, {}, 0, 0, false});
    store.init(block_folder_path(store_path), 4096);
    ASSERT_FALSE(store.open_store());
    ASSERT_EQ(store.index().size(), contents.size());

    const block_key key = key_of(contents[0]);
    const std::wstring file_name = store.index().at(key).file->path();
    fs.fail_reads(read_kind::open_file, file_name.substr(file_name.rfind(L"\\blocks\\")), ERROR_SHARING_VIOLATION);
    EXPECT_EQ(hresult_of([&] { run(fetch_block(store, key)); }), HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(store.index().at(key).file->loaded);
    EXPECT_EQ(store.hot_count(), 0u);

    fs.clear_read_failures();
    block_view view = run(fetch_block(store, key));
    EXPECT_EQ(bytes(view.bytes().begin(), view.bytes().end()), contents[0]);
    view.reset();
    EXPECT_EQ(fs.steps(), 0u);
    EXPECT_EQ(snapshot_folder(store_path), before);
}

} // namespace
} // namespace dedup
