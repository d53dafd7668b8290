// The root folder object: creating a store beside a folder, opening it, and the lock that keeps a
// folder to one object at a time.

#include <dedup/engine/root_folder.h>
#include <dedup/engine/store_names.h>
#include <dedup/engine/tests/store_test_support.h>

#include <ostrel/com/ptr.h>
#include <tavik/error_categories.h>

#include <gtest/gtest.h>

#include <cstring>

namespace {

using dedup::create_params;
using dedup::impl::root_folder;
using dedup::testing::file_exists;
using dedup::testing::temp_folder;

bool folder_exists(const std::wstring& path)
{
    DWORD attributes = GetFileAttributesW(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

class RootFolder : public testing::Test {
protected:
    Ostrel::com::ptr<root_folder> make_root()
    {
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        return Ostrel::com::make<root_folder>(source_, options);
    }

    static create_params params(std::uint32_t flags = 0)
    {
        create_params p;
        p.flags = flags;
        return p;
    }

    static std::error_code open(root_folder& root, const std::wstring& path)
    {
        return tavik::details::wait_blocking_result(root.open(path));
    }

    tavik::details::cancellation_source source_;
    temp_folder base_;
};

TEST_F(RootFolder, CreateOnANewFolderMakesTheStoreBesideIt)
{
    const std::wstring folder = base_ / L"Data";
    const std::wstring store = base_ / L"Data.dedup";
    auto root = make_root();
    ASSERT_EQ(root->create(folder, params()), std::error_code());
    EXPECT_TRUE(folder_exists(folder));
    EXPECT_TRUE(folder_exists(store));
    EXPECT_TRUE(folder_exists(dedup::block_folder_path(store)));
    EXPECT_TRUE(file_exists(dedup::lock_file_path(store)));
    EXPECT_EQ(root->store_path(), store);
    EXPECT_TRUE(GetFileAttributesW(store.c_str()) & FILE_ATTRIBUTE_HIDDEN);

    // "files.deinfo": the header of this folder and an empty tree.
    const auto bytes = dedup::testing::read_file(dedup::file_info_path(store));
    ASSERT_GE(bytes.size(), 80u);
    dedup::file_info_header header{};
    std::memcpy(&header, bytes.data(), sizeof header);
    EXPECT_EQ(header.signature[0], dedup::file_info_signature[0]);
    EXPECT_EQ(header.signature[1], dedup::file_info_signature[1]);
    const GUID id = root->get_folder_id();
    EXPECT_EQ(std::memcmp(&header.folder_id, &id, sizeof id), 0);
    EXPECT_NE(std::memcmp(&id, &GUID_NULL, sizeof id), 0);
    EXPECT_EQ(header.creation_parameter, 0x3200000u);
    std::uint32_t n;
    std::memcpy(&n, bytes.data() + 72, 4);
    EXPECT_EQ(n, 4u);

    EXPECT_EQ(root->get_statistics().block_count, 0u);
    // Nothing else may be created by a second create on the same object.
    EXPECT_EQ(root->create(base_ / L"Other", params()), dedup::common_error::already_initialized);
    EXPECT_FALSE(folder_exists(base_ / L"Other"));
    EXPECT_EQ(open(*root, folder), dedup::common_error::already_initialized);
}

TEST_F(RootFolder, TrailingSeparatorNamesTheSameFolder)
{
    auto root = make_root();
    ASSERT_EQ(root->create(base_.path() + L"\\Data\\\\", params()), std::error_code());
    EXPECT_EQ(root->folder_path(), base_ / L"Data");
    EXPECT_TRUE(folder_exists(base_ / L"Data.dedup"));
    EXPECT_FALSE(folder_exists(base_ / L"Data\\.dedup"));
}

TEST_F(RootFolder, ExistingFolderNeedsAdopt)
{
    const std::wstring folder = base_ / L"Existing";
    dedup::testing::make_folder(folder);
    auto refused = make_root();
    EXPECT_EQ(refused->create(folder, params()), dedup::create_error::folder_already_exists);
    EXPECT_FALSE(folder_exists(folder + L".dedup"));

    auto adopted = make_root();
    ASSERT_EQ(adopted->create(folder, params(create_params::adopt)), std::error_code());
    EXPECT_TRUE(folder_exists(folder + L".dedup"));

    // A store that exists already is never made again.
    auto again = make_root();
    EXPECT_EQ(again->create(folder, params(create_params::adopt)), dedup::create_error::folder_already_exists);
}

TEST_F(RootFolder, NoCreateCreatesNothing)
{
    const std::wstring folder = base_ / L"Absent";
    auto root = make_root();
    EXPECT_EQ(root->create(folder, params(create_params::no_create)), dedup::create_error::folder_already_exists);
    EXPECT_FALSE(folder_exists(folder));
    EXPECT_FALSE(folder_exists(folder + L".dedup"));
    EXPECT_EQ(open(*root, folder), dedup::create_error::folder_invalid);

    // An existing folder may still be adopted with no-create.
    dedup::testing::make_folder(folder);
    auto adopted = make_root();
    EXPECT_EQ(adopted->create(folder, params(create_params::no_create | create_params::adopt)), std::error_code());
}

TEST_F(RootFolder, FolderThatCannotBeMadeIsReportedNotStored)
{
    const std::wstring folder = base_ / L"missing\\parent\\Data";
    auto root = make_root();
    const std::error_code result = root->create(folder, params(create_params::adopt));
    EXPECT_EQ(result, dedup::make_hresult_error_code(HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND)));
    EXPECT_FALSE(folder_exists(base_ / L"missing"));
    // Without adopt it is an existing folder to the caller, whose open then finds no store.
    auto plain = make_root();
    EXPECT_EQ(plain->create(folder, params()), dedup::create_error::folder_already_exists);
    EXPECT_FALSE(folder_exists(base_ / L"missing"));
    EXPECT_EQ(open(*plain, folder), dedup::create_error::folder_invalid);

    const std::wstring file = base_ / L"file.txt";
    dedup::testing::write_file(file, dedup::testing::to_bytes("x"));
    auto on_file = make_root();
    EXPECT_EQ(on_file->create(file, params(create_params::adopt)),
              dedup::make_hresult_error_code(HRESULT_FROM_WIN32(ERROR_DIRECTORY)));
    EXPECT_FALSE(folder_exists(file + L".dedup"));
}

TEST_F(RootFolder, LockKeepsTheFolderToOneObject)
{
    const std::wstring folder = base_ / L"Data";
    const std::wstring lock = dedup::lock_file_path(folder + L".dedup");
    auto first = make_root();
    ASSERT_EQ(first->create(folder, params()), std::error_code());
    const GUID id = first->get_folder_id();

    auto second = make_root();
    const std::error_code busy = open(*second, folder);
    EXPECT_EQ(busy, dedup::create_error::folder_already_opened);
    EXPECT_EQ(busy.value(), 3);
    EXPECT_STREQ(busy.category().name(), "dedup.create");
    EXPECT_EQ(busy.message(), "Folder is already opened by another instance");
    EXPECT_TRUE(file_exists(lock)) << "the holder's lock file stays";

    // The last reference closes the lock file, which deletes it; the folder opens again.
    first.reset();
    EXPECT_FALSE(file_exists(lock));
    auto third = make_root();
    ASSERT_EQ(open(*third, folder), std::error_code());
    EXPECT_TRUE(file_exists(lock));
    const GUID reopened = third->get_folder_id();
    EXPECT_EQ(std::memcmp(&reopened, &id, sizeof id), 0);
    EXPECT_EQ(open(*third, folder), dedup::common_error::already_initialized);
}

TEST_F(RootFolder, CreateWritesNothingIntoAStoreItCannotLock)
{
    // Another object took the lock of a store folder before this create made its block folder:
    // the create must not write a tree file that the other object could load half made.
    const std::wstring folder = base_ / L"Data";
    const std::wstring store = folder + L".dedup";
    dedup::testing::make_folder(folder);
    dedup::testing::make_folder(store);
    HANDLE held = CreateFileW(dedup::lock_file_path(store).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              CREATE_ALWAYS, FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);

    auto root = make_root();
    EXPECT_EQ(root->create(folder, params(create_params::adopt)),
              dedup::make_hresult_error_code(HRESULT_FROM_WIN32(ERROR_SHARING_VIOLATION)));
    EXPECT_FALSE(file_exists(dedup::file_info_path(store)));
    EXPECT_FALSE(folder_exists(dedup::block_folder_path(store))) << "a later create takes the store folder over";
    EXPECT_EQ(root->get_statistics().block_count, 0u);

    CloseHandle(held);
    auto later = make_root();
    EXPECT_EQ(later->create(folder, params(create_params::adopt)), std::error_code());
}

TEST_F(RootFolder, FailedOpenKeepsTheObjectsHeader)
{
    // A tree file that does not load leaves nothing of itself in the object: get_folder_id still
    // answers what the object held before the open.
    struct damage_case {
        const char* name;
        std::size_t at;  // byte flipped
    };
    const damage_case cases[] = {
        {"signature", 0},
        {"tree image", 80},
    };
    const std::wstring folder = base_ / L"Data";
    GUID created_id;
    {
        auto root = make_root();
        ASSERT_EQ(root->create(folder, params()), std::error_code());
        created_id = root->get_folder_id();
    }
    const std::wstring tree_file = dedup::file_info_path(folder + L".dedup");
    const auto good = dedup::testing::read_file(tree_file);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        auto bytes = good;
        bytes[c.at] ^= std::byte{0xFF};
        dedup::testing::write_file(tree_file, bytes);
        auto root = make_root();
        EXPECT_NE(open(*root, folder), std::error_code());
        const GUID id = root->get_folder_id();
        EXPECT_EQ(std::memcmp(&id, &GUID_NULL, sizeof id), 0);
        EXPECT_NE(std::memcmp(&id, &created_id, sizeof id), 0);
        EXPECT_EQ(root->get_statistics().block_count, 0u);
    }
    // The good file opens in the same object's place, with the folder's identifier.
    dedup::testing::write_file(tree_file, good);
    auto root = make_root();
    ASSERT_EQ(open(*root, folder), std::error_code());
    const GUID id = root->get_folder_id();
    EXPECT_EQ(std::memcmp(&id, &created_id, sizeof id), 0);
}

TEST_F(RootFolder, OpenOfAFolderWithoutAStore)
{
    auto root = make_root();
    EXPECT_EQ(open(*root, base_ / L"Nothing"), dedup::create_error::folder_invalid);
    // A store folder without its tree file is invalid too.
    dedup::testing::make_folder(base_ / L"Half");
    dedup::testing::make_folder(base_ / L"Half.dedup");
    auto half = make_root();
    EXPECT_EQ(open(*half, base_ / L"Half"), dedup::create_error::folder_invalid);
}

TEST_F(RootFolder, OpenReportsADamagedTreeFile)
{
    const std::wstring folder = base_ / L"Data";
    {
        auto root = make_root();
        ASSERT_EQ(root->create(folder, params()), std::error_code());
    }
    const std::wstring tree_file = dedup::file_info_path(folder + L".dedup");
    auto bytes = dedup::testing::read_file(tree_file);
    bytes.resize(60);
    dedup::testing::write_file(tree_file, bytes);
    auto root = make_root();
    EXPECT_EQ(open(*root, folder), dedup::create_error::folder_invalid);
    EXPECT_EQ(root->get_statistics().block_count, 0u);
}

TEST_F(RootFolder, LaterSavesKeepABackup)
{
    const std::wstring folder = base_ / L"Data";
    const std::wstring tree_file = dedup::file_info_path(folder + L".dedup");
    auto root = make_root();
    ASSERT_EQ(root->create(folder, params()), std::error_code());
    EXPECT_FALSE(file_exists(dedup::backup_path(tree_file)));
    const auto first = dedup::testing::read_file(tree_file);
    tavik::details::wait_blocking_result(root->save_file_info({0, 0, 0, 0}, 7));
    EXPECT_TRUE(file_exists(dedup::backup_path(tree_file)));
    EXPECT_EQ(dedup::testing::read_file(dedup::backup_path(tree_file)), first);
    EXPECT_FALSE(file_exists(dedup::replacement_path(tree_file)));
}

TEST_F(RootFolder, FailedSaveIsReportedAndTakesNoLock)
{
    dedup::testing::fault_file_system faults;
    // The save's first step: the folder, the store folder, its block folder and the lock file come
    // before it.
    faults.fail_at(5, dedup::testing::fault_file_system::mode::fail);
    dedup::impl::root_folder_options options;
    options.store.eviction_timer = false;
    options.store.file_system = &faults;
    auto root = Ostrel::com::make<root_folder>(source_, options);
    const std::wstring folder = base_ / L"Data";
    const std::error_code result = root->create(folder, params());
    EXPECT_STREQ(result.category().name(), "dedup.io");
    EXPECT_NE(result.value(), 0);
    EXPECT_FALSE(file_exists(dedup::lock_file_path(folder + L".dedup")));
    EXPECT_FALSE(file_exists(dedup::file_info_path(folder + L".dedup")));
    // No store that every later create would call existing and every open invalid is left.
    EXPECT_FALSE(folder_exists(dedup::block_folder_path(folder + L".dedup")));
    auto again = make_root();
    EXPECT_EQ(again->create(folder, params(create_params::adopt)), std::error_code());
}

TEST_F(RootFolder, QueryInterface)
{
    auto root = make_root();
    dedup::IRoot* face = root.get();
    void* out = nullptr;
    ASSERT_EQ(face->QueryInterface(__uuidof(dedup::IRoot), &out), S_OK);
    EXPECT_EQ(out, static_cast<void*>(face));
    static_cast<dedup::IRoot*>(out)->Release();
    EXPECT_EQ(face->QueryInterface(__uuidof(dedup::IRoot), nullptr), E_POINTER);
    EXPECT_EQ(face->QueryInterface(__uuidof(IClassFactory), &out), E_NOINTERFACE);
}

} // namespace
