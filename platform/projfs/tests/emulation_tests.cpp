// The emulation through the exports the product calls: marking a root, the on-disk states of its
// items as applications change them, and PrjDeleteFile with each update flag. The test program
// reaches the emulation DLL exactly as the product does (delay-loaded import library), and reads
// the same record through its own copy of the emulation's code, as a second process would.

#include <platform/projfs/availability.h>
#include <platform/projfs/emulation/root_record.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

namespace {

using projfs::emulation::recorded_kind;
using projfs::emulation::root_record;

constexpr HRESULT invalid_operation = HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION);
// The documented codes, as the platform answers them: a provider that compares with a wrong
// constant would take a refusal for some other failure.
static_assert(invalid_operation == static_cast<HRESULT>(0x80070181));
static_assert(HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE) == static_cast<HRESULT>(0x80070171));
constexpr HRESULT not_found = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT path_not_found = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);

void remove_tree(const std::wstring& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((path + L"\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            std::wstring child = path + L"\\" + name;
            SetFileAttributesW(child.c_str(), FILE_ATTRIBUTE_NORMAL);
            if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                remove_tree(child);
            else
                DeleteFileW(child.c_str());
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(path.c_str());
}

std::wstring new_temp_folder()
{
    static std::atomic<unsigned> counter{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    std::wstring path = std::wstring(temp) + L"projfs-test-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                        std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(counter++);
    CreateDirectoryW(path.c_str(), nullptr);
    return path;
}

GUID test_guid(unsigned seed)
{
    GUID id{};
    id.Data1 = 0x5eed0000u + seed;
    id.Data2 = static_cast<unsigned short>(GetCurrentProcessId());
    id.Data4[7] = 0x42;
    return id;
}

class EmulatedRoot : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(projfs::available());
        root_ = new_temp_folder();
        GUID id = test_guid(1);
        ASSERT_EQ(PrjMarkDirectoryAsPlaceholder(root_.c_str(), nullptr, nullptr, &id), S_OK);
        PRJ_CALLBACKS callbacks{};
        ASSERT_EQ(PrjStartVirtualizing(root_.c_str(), &callbacks, nullptr, nullptr, &context_), S_OK);
    }

    void TearDown() override
    {
        if (context_)
            PrjStopVirtualizing(context_);
        remove_tree(root_);
    }

    std::wstring full(const std::wstring& relative) const { return root_ + L"\\" + relative; }

    HRESULT write_placeholder(const std::wstring& relative, std::int64_t size, bool directory = false,
                              UINT32 attributes = 0)
    {
        PRJ_PLACEHOLDER_INFO info{};
        info.FileBasicInfo.IsDirectory = directory;
        info.FileBasicInfo.FileSize = size;
        info.FileBasicInfo.CreationTime.QuadPart = 132000000000000000;
        info.FileBasicInfo.LastWriteTime.QuadPart = 132000000000000000;
        info.FileBasicInfo.LastAccessTime.QuadPart = 132000000000000000;
        info.FileBasicInfo.ChangeTime.QuadPart = 132000000000000000;
        info.FileBasicInfo.FileAttributes = attributes;
        return PrjWritePlaceholderInfo(context_, relative.c_str(), &info, sizeof info);
    }

    HRESULT state_of(const std::wstring& relative, PRJ_FILE_STATE& state) const
    {
        return PrjGetOnDiskFileState(full(relative).c_str(), &state);
    }

    PRJ_FILE_STATE state(const std::wstring& relative) const
    {
        PRJ_FILE_STATE result = PRJ_FILE_STATE(0);
        HRESULT hr = state_of(relative, result);
        EXPECT_EQ(hr, S_OK) << "state of " << testing::PrintToString(relative);
        return result;
    }

    void write_data(const std::wstring& relative, const std::string& data, DWORD disposition = OPEN_EXISTING)
    {
        HANDLE file = CreateFileW(full(relative).c_str(), GENERIC_WRITE, 0, nullptr, disposition,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE);
        DWORD written = 0;
        // Bump the write time by a whole second: some file systems keep coarse times.
        FILETIME later{};
        GetFileTime(file, nullptr, nullptr, &later);
        ULARGE_INTEGER t{{later.dwLowDateTime, later.dwHighDateTime}};
        t.QuadPart += 10'000'000;
        later = FILETIME{t.LowPart, t.HighPart};
        EXPECT_TRUE(WriteFile(file, data.data(), static_cast<DWORD>(data.size()), &written, nullptr));
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &later));
        CloseHandle(file);
    }

    // A placeholder whose data the provider has written (what hydration leaves).
    void hydrate(const std::wstring& relative, const std::string& data)
    {
        write_data(relative, data);
        auto record = root_record::open(root_);
        ASSERT_TRUE(record);
        ASSERT_EQ(record->mark_hydrated(relative), S_OK);
    }

    bool recorded(const std::wstring& relative)
    {
        auto record = root_record::open(root_);
        return record && record->find(relative).has_value();
    }

    bool on_disk(const std::wstring& relative) const
    {
        return GetFileAttributesW(full(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    std::wstring root_;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context_ = nullptr;
};

TEST_F(EmulatedRoot, StatesFollowWhatApplicationsDo)
{
    ASSERT_EQ(write_placeholder(L"a.txt", 5), S_OK);
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_PLACEHOLDER);

    hydrate(L"a.txt", "hello");
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_HYDRATED_PLACEHOLDER);

    ASSERT_TRUE(SetFileAttributesW(full(L"a.txt").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_HYDRATED_PLACEHOLDER |
                                   PRJ_FILE_STATE_DIRTY_PLACEHOLDER);
    ASSERT_TRUE(SetFileAttributesW(full(L"a.txt").c_str(), FILE_ATTRIBUTE_NORMAL));

    write_data(L"a.txt", "changed data");
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_FULL);

    ASSERT_TRUE(DeleteFileW(full(L"a.txt").c_str()));
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_TOMBSTONE);

    write_data(L"new.txt", "mine", CREATE_NEW);
    EXPECT_EQ(state(L"new.txt"), PRJ_FILE_STATE_FULL);

    PRJ_FILE_STATE unused;
    EXPECT_EQ(state_of(L"missing.txt", unused), not_found);
    EXPECT_EQ(state_of(L"missing\\x.txt", unused), path_not_found);
}

TEST_F(EmulatedRoot, DirectoryPlaceholderTurnsDirtyNeverFull)
{
    ASSERT_EQ(write_placeholder(L"docs", 0, true), S_OK);
    EXPECT_EQ(state(L"docs"), PRJ_FILE_STATE_PLACEHOLDER);
    // What the provider itself puts in it keeps it clean.
    ASSERT_EQ(write_placeholder(L"docs\\a.txt", 10), S_OK);
    EXPECT_EQ(state(L"docs"), PRJ_FILE_STATE_PLACEHOLDER);
    // An application's new file makes it dirty.
    write_data(L"docs\\b.txt", "b", CREATE_NEW);
    EXPECT_EQ(state(L"docs"), PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_DIRTY_PLACEHOLDER);
}

struct delete_case {
    const char* name;
    enum setup_kind { clean, hydrated, dirty, full, tombstone, read_only_clean, read_only_full } setup;
    PRJ_UPDATE_TYPES flags;
    HRESULT result;
    PRJ_UPDATE_FAILURE_CAUSES causes;
};

constexpr PRJ_UPDATE_TYPES flags(int value)
{
    return static_cast<PRJ_UPDATE_TYPES>(value);
}

const delete_case delete_cases[] = {
    {"clean placeholder, no flags", delete_case::clean, PRJ_UPDATE_NONE, S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"hydrated placeholder, no flags", delete_case::hydrated, PRJ_UPDATE_NONE, S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"dirty, no flags", delete_case::dirty, PRJ_UPDATE_NONE, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_DIRTY_METADATA},
    {"dirty, dirty data allowed", delete_case::dirty, PRJ_UPDATE_ALLOW_DIRTY_DATA, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_DIRTY_METADATA},
    {"dirty, dirty metadata allowed", delete_case::dirty, PRJ_UPDATE_ALLOW_DIRTY_METADATA, S_OK,
     PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"full, no flags", delete_case::full, PRJ_UPDATE_NONE, invalid_operation, PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA},
    {"full, dirty metadata allowed", delete_case::full, PRJ_UPDATE_ALLOW_DIRTY_METADATA, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA},
    {"full, dirty data allowed", delete_case::full, PRJ_UPDATE_ALLOW_DIRTY_DATA, S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"tombstone, no flags", delete_case::tombstone, PRJ_UPDATE_NONE, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_TOMBSTONE},
    {"tombstone, dirty flags", delete_case::tombstone, flags(0x3), invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_TOMBSTONE},
    {"tombstone, tombstone allowed", delete_case::tombstone, PRJ_UPDATE_ALLOW_TOMBSTONE, S_OK,
     PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"read-only placeholder, no flags", delete_case::read_only_clean, PRJ_UPDATE_NONE, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY},
    {"read-only placeholder, read-only allowed", delete_case::read_only_clean, PRJ_UPDATE_ALLOW_READ_ONLY, S_OK,
     PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"read-only full, no flags", delete_case::read_only_full, PRJ_UPDATE_NONE, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA | PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY},
    {"read-only full, dirty data allowed", delete_case::read_only_full, PRJ_UPDATE_ALLOW_DIRTY_DATA, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY},
    // The combinations the store's operations pass.
    {"dirty, 0x21", delete_case::dirty, flags(0x21), S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"read-only full, 0x22", delete_case::read_only_full, flags(0x22), S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"hydrated, 0x22", delete_case::hydrated, flags(0x22), S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE},
    {"tombstone, 0x24", delete_case::tombstone, flags(0x24), S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE},
};

TEST_F(EmulatedRoot, DeleteFileRefusesWhatItsFlagsDoNotAllow)
{
    int index = 0;
    for (const auto& c : delete_cases) {
        SCOPED_TRACE(c.name);
        const std::wstring name = L"item" + std::to_wstring(index++) + L".txt";
        switch (c.setup) {
        case delete_case::clean:
            ASSERT_EQ(write_placeholder(name, 3), S_OK);
            break;
        case delete_case::hydrated:
            ASSERT_EQ(write_placeholder(name, 3), S_OK);
            hydrate(name, "abc");
            break;
        case delete_case::dirty:
            // Written read-only, made writable: a metadata change that every file system keeps.
            ASSERT_EQ(write_placeholder(name, 3, false, FILE_ATTRIBUTE_READONLY), S_OK);
            ASSERT_TRUE(SetFileAttributesW(full(name).c_str(), FILE_ATTRIBUTE_NORMAL));
            ASSERT_EQ(state(name), PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_DIRTY_PLACEHOLDER);
            break;
        case delete_case::full:
            write_data(name, "xyz", CREATE_NEW);
            break;
        case delete_case::tombstone:
            ASSERT_EQ(write_placeholder(name, 3), S_OK);
            ASSERT_TRUE(DeleteFileW(full(name).c_str()));
            break;
        case delete_case::read_only_clean:
            ASSERT_EQ(write_placeholder(name, 3, false, FILE_ATTRIBUTE_READONLY), S_OK);
            break;
        case delete_case::read_only_full:
            write_data(name, "xyz", CREATE_NEW);
            ASSERT_TRUE(SetFileAttributesW(full(name).c_str(), FILE_ATTRIBUTE_READONLY));
            break;
        }
        PRJ_FILE_STATE before = PRJ_FILE_STATE(0);
        ASSERT_EQ(state_of(name, before), S_OK);

        PRJ_UPDATE_FAILURE_CAUSES causes = PRJ_UPDATE_FAILURE_CAUSE_NONE;
        EXPECT_EQ(PrjDeleteFile(context_, name.c_str(), c.flags, &causes), c.result);
        EXPECT_EQ(causes, c.causes);

        if (c.result == S_OK) {
            EXPECT_FALSE(on_disk(name));
            EXPECT_FALSE(recorded(name));
            PRJ_FILE_STATE after;
            EXPECT_EQ(state_of(name, after), not_found);
        } else {
            EXPECT_EQ(state(name), before) << "a refused delete changes nothing";
        }
    }
}

TEST_F(EmulatedRoot, DeleteFileOfDirectories)
{
    // A directory made by an application goes only once nothing local is left in it.
    ASSERT_TRUE(CreateDirectoryW(full(L"made").c_str(), nullptr));
    write_data(L"made\\f.txt", "f", CREATE_NEW);
    PRJ_UPDATE_FAILURE_CAUSES causes;
    EXPECT_EQ(PrjDeleteFile(context_, L"made", flags(0x22), &causes), HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY));
    EXPECT_EQ(PrjDeleteFile(context_, L"made\\f.txt", flags(0x22), &causes), S_OK);
    EXPECT_EQ(PrjDeleteFile(context_, L"made", flags(0x22), &causes), S_OK);
    EXPECT_FALSE(on_disk(L"made"));

    // Handing back a clean placeholder keeps its clean parent clean.
    ASSERT_EQ(write_placeholder(L"docs", 0, true), S_OK);
    ASSERT_EQ(write_placeholder(L"docs\\a.txt", 4), S_OK);
    EXPECT_EQ(PrjDeleteFile(context_, L"docs\\a.txt", PRJ_UPDATE_NONE, &causes), S_OK);
    EXPECT_EQ(state(L"docs"), PRJ_FILE_STATE_PLACEHOLDER);

    // A deleted directory is a tombstone, and removing it forgets what was below it.
    ASSERT_EQ(write_placeholder(L"docs\\b.txt", 4), S_OK);
    ASSERT_TRUE(DeleteFileW(full(L"docs\\b.txt").c_str()));
    ASSERT_TRUE(RemoveDirectoryW(full(L"docs").c_str()));
    EXPECT_EQ(state(L"docs"), PRJ_FILE_STATE_TOMBSTONE);
    PRJ_FILE_STATE below;
    EXPECT_EQ(state_of(L"docs\\b.txt", below), path_not_found);
    EXPECT_EQ(PrjDeleteFile(context_, L"docs", PRJ_UPDATE_ALLOW_TOMBSTONE, &causes), S_OK);
    EXPECT_FALSE(recorded(L"docs"));
    EXPECT_FALSE(recorded(L"docs\\b.txt"));
}

TEST_F(EmulatedRoot, DeleteFileOfNothingOnDisk)
{
    PRJ_UPDATE_FAILURE_CAUSES causes = PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY;
    EXPECT_EQ(PrjDeleteFile(context_, L"never.txt", flags(0x27), &causes), not_found);
    EXPECT_EQ(causes, PRJ_UPDATE_FAILURE_CAUSE_NONE);
    EXPECT_EQ(PrjDeleteFile(context_, L"no\\never.txt", flags(0x27), &causes), path_not_found);
}

TEST_F(EmulatedRoot, PlaceholderNeedsRoomAndAParent)
{
    write_data(L"taken.txt", "x", CREATE_NEW);
    EXPECT_EQ(write_placeholder(L"taken.txt", 1), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    EXPECT_EQ(write_placeholder(L"no\\such.txt", 1), path_not_found);
    EXPECT_EQ(state(L"taken.txt"), PRJ_FILE_STATE_FULL);
}

TEST_F(EmulatedRoot, RecordIsSharedAndMarksAreKept)
{
    ASSERT_EQ(write_placeholder(L"a.txt", 2), S_OK);
    // The test's own copy of the emulation reads what the DLL wrote.
    auto record = root_record::open(root_);
    ASSERT_TRUE(record);
    auto item = record->find(L"A.TXT");
    ASSERT_TRUE(item);
    EXPECT_EQ(item->kind, recorded_kind::placeholder);
    EXPECT_EQ(item->look.size, 2u);

    // The same mark again changes nothing; another one starts afresh.
    GUID same = test_guid(1);
    EXPECT_EQ(PrjMarkDirectoryAsPlaceholder(root_.c_str(), nullptr, nullptr, &same), S_OK);
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_PLACEHOLDER);
    PRJ_VIRTUALIZATION_INSTANCE_INFO info{};
    ASSERT_EQ(PrjGetVirtualizationInstanceInfo(context_, &info), S_OK);
    EXPECT_TRUE(IsEqualGUID(info.InstanceID, same));
    EXPECT_EQ(info.WriteAlignment, 4096u);

    GUID other = test_guid(2);
    EXPECT_EQ(PrjMarkDirectoryAsPlaceholder((root_ + L"\\").c_str(), nullptr, nullptr, &other), S_OK);
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_FULL);
}

TEST_F(EmulatedRoot, RemovedRootIsNoLongerARoot)
{
    PrjStopVirtualizing(context_);
    context_ = nullptr;
    remove_tree(root_);
    PRJ_CALLBACKS callbacks{};
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context = nullptr;
    EXPECT_EQ(PrjStartVirtualizing(root_.c_str(), &callbacks, nullptr, nullptr, &context),
              HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT));
    ASSERT_TRUE(CreateDirectoryW(root_.c_str(), nullptr));
    EXPECT_EQ(PrjStartVirtualizing(root_.c_str(), &callbacks, nullptr, nullptr, &context),
              HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT));
}

TEST(EmulatedPlatform, ItemsOutsideRootsAndBadArguments)
{
    std::wstring folder = new_temp_folder();
    std::wstring file = folder + L"\\plain.txt";
    HANDLE handle = CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
    ASSERT_NE(handle, INVALID_HANDLE_VALUE);
    CloseHandle(handle);
    PRJ_FILE_STATE state = PRJ_FILE_STATE(0);
    EXPECT_EQ(PrjGetOnDiskFileState(file.c_str(), &state), S_OK);
    EXPECT_EQ(state, PRJ_FILE_STATE_FULL);
    PRJ_CALLBACKS callbacks{};
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context = nullptr;
    EXPECT_EQ(PrjStartVirtualizing(folder.c_str(), &callbacks, nullptr, nullptr, &context),
              HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT));
    GUID id = test_guid(3);
    EXPECT_EQ(PrjMarkDirectoryAsPlaceholder(file.c_str(), nullptr, nullptr, &id), HRESULT_FROM_WIN32(ERROR_DIRECTORY));
    PRJ_UPDATE_FAILURE_CAUSES causes;
    EXPECT_EQ(PrjDeleteFile(reinterpret_cast<PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT>(&id), L"x", PRJ_UPDATE_NONE, &causes),
              E_INVALIDARG);
    remove_tree(folder);
}

} // namespace
