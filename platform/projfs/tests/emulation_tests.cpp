// The emulation through the exports the product calls: marking a root, the on-disk states of its
// items as applications change them, and PrjDeleteFile with each update flag. The test program
// reaches the emulation DLL exactly as the product does (delay-loaded import library), and reads
// the same record through its own copy of the emulation's code, as a second process would.

#include <platform/projfs/availability.h>
#include <platform/projfs/emulation/root_record.h>

#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace {

using projfs::emulation::projection;
using projfs::emulation::recorded_kind;
using projfs::emulation::root_record;

constexpr HRESULT invalid_operation = HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_INVALID_OPERATION);
// The documented codes, as the platform answers them: a provider that compares with a wrong
// constant would take a refusal for some other failure.
static_assert(invalid_operation == static_cast<HRESULT>(0x80070181));
static_assert(HRESULT_FROM_WIN32(ERROR_FILE_SYSTEM_VIRTUALIZATION_UNAVAILABLE) == static_cast<HRESULT>(0x80070171));
constexpr HRESULT not_found = HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
constexpr HRESULT path_not_found = HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);

using test_support::remove_tree;

GUID test_guid(unsigned seed)
{
    GUID id{};
    id.Data1 = 0x5eed0000u + seed;
    id.Data2 = static_cast<unsigned short>(GetCurrentProcessId());
    id.Data4[7] = 0x42;
    return id;
}

struct listed {
    std::uint64_t size = 0;
    std::int64_t last_write_time = 0;
    DWORD attributes = 0;
};
using listing = std::map<std::wstring, listed>;

std::int64_t time_of(DWORD high, DWORD low)
{
    return std::int64_t((std::uint64_t(high) << 32) | low);
}

listing list_with_find_first(const std::wstring& directory)
{
    listing items;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return items;
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..")
            items[name] = {(std::uint64_t(found.nFileSizeHigh) << 32) | found.nFileSizeLow,
                           time_of(found.ftLastWriteTime.dwHighDateTime, found.ftLastWriteTime.dwLowDateTime),
                           found.dwFileAttributes};
    } while (FindNextFileW(search, &found));
    FindClose(search);
    return items;
}

// As the store's change scan reads a directory: batches of FileFullDirectoryInfo on a handle. The
// batch is small, so that a listing takes several.
listing list_with_directory_information(const std::wstring& directory)
{
    listing items;
    HANDLE handle = CreateFileW(directory.c_str(), FILE_READ_DATA | FILE_READ_EA | FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return items;
    alignas(8) std::byte batch[256];
    while (GetFileInformationByHandleEx(handle, FileFullDirectoryInfo, batch, sizeof batch)) {
        const auto* entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(batch);
        for (;;) {
            std::wstring name(entry->FileName, entry->FileNameLength / sizeof(wchar_t));
            if (name != L"." && name != L"..")
                items[name] = {static_cast<std::uint64_t>(entry->EndOfFile.QuadPart), entry->LastWriteTime.QuadPart,
                               entry->FileAttributes};
            if (entry->NextEntryOffset == 0)
                break;
            entry = reinterpret_cast<const FILE_FULL_DIR_INFO*>(reinterpret_cast<const std::byte*>(entry) +
                                                                entry->NextEntryOffset);
        }
    }
    CloseHandle(handle);
    return items;
}

class EmulatedRoot : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(projfs::available());
        root_ = root_folder_.path();
        GUID id = test_guid(1);
        ASSERT_EQ(PrjMarkDirectoryAsPlaceholder(root_.c_str(), nullptr, nullptr, &id), S_OK);
        PRJ_CALLBACKS callbacks{};
        ASSERT_EQ(PrjStartVirtualizing(root_.c_str(), &callbacks, nullptr, nullptr, &context_), S_OK);
    }

    void TearDown() override
    {
        if (context_)
            PrjStopVirtualizing(context_);
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

    std::optional<recorded_kind> recorded_as(const std::wstring& relative)
    {
        auto record = root_record::open(root_);
        auto found = record ? record->find(relative) : std::nullopt;
        return found ? std::optional<recorded_kind>(found->kind) : std::nullopt;
    }

    bool on_disk(const std::wstring& relative) const
    {
        return GetFileAttributesW(full(relative).c_str()) != INVALID_FILE_ATTRIBUTES;
    }

    test_support::temp_folder root_folder_;
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
    // After a successful hand-back: the shell carries the recorded (or, for an item an application
    // rewrote, the current) attributes. A tombstone leaves no shell.
    bool read_only_shell = false;
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
     PRJ_UPDATE_FAILURE_CAUSE_NONE, true},
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
     PRJ_UPDATE_FAILURE_CAUSE_NONE, true},
    {"read-only full, no flags", delete_case::read_only_full, PRJ_UPDATE_NONE, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_DIRTY_DATA | PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY},
    {"read-only full, dirty data allowed", delete_case::read_only_full, PRJ_UPDATE_ALLOW_DIRTY_DATA, invalid_operation,
     PRJ_UPDATE_FAILURE_CAUSE_READ_ONLY},
    // The combinations the store's operations pass.
    {"dirty, 0x21", delete_case::dirty, flags(0x21), S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE, true},
    {"read-only full, 0x22", delete_case::read_only_full, flags(0x22), S_OK, PRJ_UPDATE_FAILURE_CAUSE_NONE, true},
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

        if (c.result == S_OK && c.setup == delete_case::tombstone) {
            // Nobody can say whether the provider still projects the item: it does not show.
            EXPECT_FALSE(on_disk(name));
            EXPECT_FALSE(recorded(name));
            PRJ_FILE_STATE after;
            EXPECT_EQ(state_of(name, after), not_found);
        } else if (c.result == S_OK) {
            EXPECT_EQ(recorded_as(name), recorded_kind::virtual_item);
            WIN32_FILE_ATTRIBUTE_DATA shell{};
            ASSERT_TRUE(GetFileAttributesExW(full(name).c_str(), GetFileExInfoStandard, &shell));
            EXPECT_EQ(shell.nFileSizeLow, 3u);
            EXPECT_EQ((shell.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0, c.read_only_shell);
            // Asked for its state, it becomes a placeholder as an open would make it.
            EXPECT_EQ(state(name), PRJ_FILE_STATE_PLACEHOLDER);
            EXPECT_EQ(recorded_as(name), recorded_kind::placeholder);
        } else {
            EXPECT_EQ(state(name), before) << "a refused delete changes nothing";
        }
    }
}

TEST_F(EmulatedRoot, HandedBackItemStaysListed)
{
    ASSERT_EQ(write_placeholder(L"a.txt", 5), S_OK);
    hydrate(L"a.txt", "hello");
    auto was = root_record::open(root_)->find(L"a.txt");
    ASSERT_TRUE(was);
    PRJ_UPDATE_FAILURE_CAUSES causes;
    ASSERT_EQ(PrjDeleteFile(context_, L"a.txt", PRJ_UPDATE_NONE, &causes), S_OK);
    EXPECT_EQ(recorded_as(L"a.txt"), recorded_kind::virtual_item);

    // Every program's listing, the store's change scan included, still shows it as projected: an
    // item a listing leaves out counts as deleted.
    for (const auto& [how, items] : {std::pair{"FindFirstFileW", list_with_find_first(root_)},
                                     std::pair{"FileFullDirectoryInfo", list_with_directory_information(root_)}}) {
        SCOPED_TRACE(how);
        auto found = items.find(L"a.txt");
        ASSERT_NE(found, items.end());
        EXPECT_EQ(found->second.size, 5u);
        EXPECT_EQ(found->second.last_write_time, was->look.last_write_time);
        EXPECT_EQ(found->second.attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    }
    // Its zeros are no data of an application's: it is a placeholder again, its data gone.
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_PLACEHOLDER);
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_PLACEHOLDER);
    EXPECT_EQ(recorded_as(L"a.txt"), recorded_kind::placeholder);

    // What applications do to a shell counts as done to the item.
    ASSERT_EQ(PrjDeleteFile(context_, L"a.txt", PRJ_UPDATE_NONE, &causes), S_OK);
    ASSERT_TRUE(DeleteFileW(full(L"a.txt").c_str()));
    EXPECT_EQ(state(L"a.txt"), PRJ_FILE_STATE_TOMBSTONE);

    ASSERT_EQ(write_placeholder(L"b.txt", 4), S_OK);
    ASSERT_EQ(PrjDeleteFile(context_, L"b.txt", PRJ_UPDATE_NONE, &causes), S_OK);
    write_data(L"b.txt", "data");
    EXPECT_EQ(state(L"b.txt"), PRJ_FILE_STATE_FULL);

    ASSERT_EQ(write_placeholder(L"c.txt", 4), S_OK);
    ASSERT_EQ(PrjDeleteFile(context_, L"c.txt", PRJ_UPDATE_NONE, &causes), S_OK);
    ASSERT_TRUE(SetFileAttributesW(full(L"c.txt").c_str(), FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(state(L"c.txt"), PRJ_FILE_STATE_PLACEHOLDER | PRJ_FILE_STATE_DIRTY_PLACEHOLDER);

    // A virtual item has nothing on disk to hand back.
    ASSERT_EQ(write_placeholder(L"d.txt", 4), S_OK);
    ASSERT_EQ(PrjDeleteFile(context_, L"d.txt", PRJ_UPDATE_NONE, &causes), S_OK);
    EXPECT_EQ(PrjDeleteFile(context_, L"d.txt", flags(0x27), &causes), not_found);
    EXPECT_EQ(recorded_as(L"d.txt"), recorded_kind::virtual_item);
}

TEST_F(EmulatedRoot, DeleteFileOfDirectories)
{
    // A directory made by an application goes back only once nothing but shells is left in it, at
    // any depth, and stays a directory with them.
    ASSERT_TRUE(CreateDirectoryW(full(L"made").c_str(), nullptr));
    ASSERT_TRUE(CreateDirectoryW(full(L"made\\sub").c_str(), nullptr));
    write_data(L"made\\f.txt", "f", CREATE_NEW);
    write_data(L"made\\sub\\g.txt", "gg", CREATE_NEW);
    PRJ_UPDATE_FAILURE_CAUSES causes;
    const HRESULT not_empty = HRESULT_FROM_WIN32(ERROR_DIR_NOT_EMPTY);
    EXPECT_EQ(PrjDeleteFile(context_, L"made", flags(0x22), &causes), not_empty);
    EXPECT_EQ(PrjDeleteFile(context_, L"made\\f.txt", flags(0x22), &causes), S_OK);
    EXPECT_EQ(PrjDeleteFile(context_, L"made\\sub\\g.txt", flags(0x22), &causes), S_OK);
    EXPECT_EQ(PrjDeleteFile(context_, L"made", flags(0x22), &causes), not_empty);
    EXPECT_EQ(PrjDeleteFile(context_, L"made\\sub", flags(0x22), &causes), S_OK);
    // A shell that an application wrote to is the application's.
    write_data(L"made\\sub\\g.txt", "changed");
    EXPECT_EQ(PrjDeleteFile(context_, L"made", flags(0x22), &causes), not_empty);
    EXPECT_EQ(PrjDeleteFile(context_, L"made\\sub\\g.txt", flags(0x22), &causes), S_OK);
    EXPECT_EQ(PrjDeleteFile(context_, L"made", flags(0x22), &causes), S_OK);

    EXPECT_EQ(recorded_as(L"made"), recorded_kind::virtual_item);
    auto top = list_with_directory_information(root_);
    ASSERT_TRUE(top.contains(L"made"));
    EXPECT_NE(top[L"made"].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    auto made = list_with_directory_information(full(L"made"));
    ASSERT_EQ(made.size(), 2u);
    EXPECT_EQ(made[L"f.txt"].size, 1u);
    EXPECT_NE(made[L"sub"].attributes & FILE_ATTRIBUTE_DIRECTORY, 0u);
    auto sub = list_with_find_first(full(L"made\\sub"));
    ASSERT_TRUE(sub.contains(L"g.txt"));
    EXPECT_EQ(sub[L"g.txt"].size, 7u);  // as the application left it, which the store took in

    // The state query opens the path: every shell on it becomes a placeholder, from the top down.
    EXPECT_EQ(state(L"made\\sub\\g.txt"), PRJ_FILE_STATE_PLACEHOLDER);
    EXPECT_EQ(recorded_as(L"made"), recorded_kind::placeholder);
    EXPECT_EQ(recorded_as(L"made\\sub"), recorded_kind::placeholder);
    EXPECT_EQ(recorded_as(L"made\\f.txt"), recorded_kind::virtual_item);
    EXPECT_EQ(state(L"made"), PRJ_FILE_STATE_PLACEHOLDER);

    // Handing back a clean placeholder keeps its clean parent clean.
    ASSERT_EQ(write_placeholder(L"docs", 0, true), S_OK);
    ASSERT_EQ(write_placeholder(L"docs\\a.txt", 4), S_OK);
    EXPECT_EQ(PrjDeleteFile(context_, L"docs\\a.txt", PRJ_UPDATE_NONE, &causes), S_OK);
    EXPECT_EQ(state(L"docs"), PRJ_FILE_STATE_PLACEHOLDER);

    // A deleted directory is a tombstone. Without the provider to say what it still projects,
    // removing the tombstone forgets it and what was below it.
    ASSERT_EQ(write_placeholder(L"docs\\b.txt", 4), S_OK);
    ASSERT_TRUE(DeleteFileW(full(L"docs\\b.txt").c_str()));
    ASSERT_TRUE(DeleteFileW(full(L"docs\\a.txt").c_str()));
    ASSERT_TRUE(RemoveDirectoryW(full(L"docs").c_str()));
    EXPECT_EQ(state(L"docs"), PRJ_FILE_STATE_TOMBSTONE);
    PRJ_FILE_STATE below;
    EXPECT_EQ(state_of(L"docs\\b.txt", below), path_not_found);
    EXPECT_EQ(PrjDeleteFile(context_, L"docs", PRJ_UPDATE_ALLOW_TOMBSTONE, &causes), S_OK);
    EXPECT_FALSE(on_disk(L"docs"));
    EXPECT_FALSE(recorded(L"docs"));
    EXPECT_FALSE(recorded(L"docs\\a.txt"));
    EXPECT_FALSE(recorded(L"docs\\b.txt"));
}

// Plays the provider's side: what it projects, and what it was asked in which order.
struct fake_provider final : projection {
    std::map<std::wstring, PRJ_FILE_BASIC_INFO> items;
    std::vector<std::wstring> asked;

    void project(const std::wstring& relative, std::int64_t size, bool directory = false)
    {
        PRJ_FILE_BASIC_INFO info{};
        info.IsDirectory = directory;
        info.FileSize = size;
        info.CreationTime.QuadPart = info.LastAccessTime.QuadPart = info.LastWriteTime.QuadPart =
            info.ChangeTime.QuadPart = 133000000000000000;
        items[relative] = info;
    }

    std::optional<PRJ_FILE_BASIC_INFO> placeholder_info(std::wstring_view relative) override
    {
        asked.emplace_back(relative);
        auto found = items.find(std::wstring(relative));
        return found == items.end() ? std::nullopt : std::optional(found->second);
    }
};

TEST_F(EmulatedRoot, ProviderDecidesWhatShowsAgain)
{
    auto record = root_record::open(root_);
    ASSERT_TRUE(record);
    fake_provider provider;
    PRJ_UPDATE_FAILURE_CAUSES causes;
    auto size_on_disk = [&](const std::wstring& relative) -> std::int64_t {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!GetFileAttributesExW(full(relative).c_str(), GetFileExInfoStandard, &data))
            return -1;
        return (std::int64_t(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    };

    // Handed back: a shell of what the provider projects now, or nothing.
    ASSERT_EQ(write_placeholder(L"c.txt", 4), S_OK);
    ASSERT_EQ(write_placeholder(L"d.txt", 4), S_OK);
    provider.project(L"c.txt", 11);
    EXPECT_EQ(record->delete_item(L"c.txt", PRJ_UPDATE_NONE, causes, &provider), S_OK);
    EXPECT_EQ(size_on_disk(L"c.txt"), 11);
    EXPECT_EQ(recorded_as(L"c.txt"), recorded_kind::virtual_item);
    EXPECT_EQ(record->delete_item(L"d.txt", PRJ_UPDATE_NONE, causes, &provider), S_OK);
    EXPECT_FALSE(on_disk(L"d.txt"));
    EXPECT_FALSE(recorded(L"d.txt"));

    // A tombstone's item shows again where the provider still projects it, with what it projects
    // of the items that were below it.
    ASSERT_EQ(write_placeholder(L"a.txt", 4), S_OK);
    ASSERT_EQ(write_placeholder(L"b.txt", 4), S_OK);
    ASSERT_EQ(write_placeholder(L"docs", 0, true), S_OK);
    ASSERT_EQ(write_placeholder(L"docs\\x.txt", 4), S_OK);
    ASSERT_EQ(write_placeholder(L"docs\\y.txt", 4), S_OK);
    for (const wchar_t* name : {L"a.txt", L"b.txt", L"docs\\x.txt", L"docs\\y.txt"})
        ASSERT_TRUE(DeleteFileW(full(name).c_str()));
    ASSERT_TRUE(RemoveDirectoryW(full(L"docs").c_str()));
    provider.project(L"a.txt", 7);
    provider.project(L"docs", 0, true);
    provider.project(L"docs\\x.txt", 2);
    EXPECT_EQ(record->delete_item(L"a.txt", PRJ_UPDATE_ALLOW_TOMBSTONE, causes, &provider), S_OK);
    EXPECT_EQ(size_on_disk(L"a.txt"), 7);
    EXPECT_EQ(recorded_as(L"a.txt"), recorded_kind::virtual_item);
    EXPECT_EQ(record->delete_item(L"b.txt", PRJ_UPDATE_ALLOW_TOMBSTONE, causes, &provider), S_OK);
    EXPECT_FALSE(on_disk(L"b.txt"));
    EXPECT_FALSE(recorded(L"b.txt"));
    EXPECT_EQ(record->delete_item(L"docs", PRJ_UPDATE_ALLOW_TOMBSTONE, causes, &provider), S_OK);
    EXPECT_EQ(recorded_as(L"docs"), recorded_kind::virtual_item);
    auto docs = list_with_directory_information(full(L"docs"));
    ASSERT_EQ(docs.size(), 1u);
    EXPECT_EQ(docs[L"x.txt"].size, 2u);
    EXPECT_FALSE(recorded(L"docs\\y.txt"));

    // An open asks the provider for each shell on the path, from the top down, and makes what it
    // answers; a shell it no longer projects is stale and goes.
    provider.project(L"docs\\x.txt", 5);
    provider.asked.clear();
    PRJ_FILE_STATE state = PRJ_FILE_STATE(0);
    EXPECT_EQ(record->query_state(L"docs\\x.txt", state, &provider), S_OK);
    EXPECT_EQ(state, PRJ_FILE_STATE_PLACEHOLDER);
    EXPECT_EQ(provider.asked, (std::vector<std::wstring>{L"docs", L"docs\\x.txt"}));
    EXPECT_EQ(size_on_disk(L"docs\\x.txt"), 5);
    EXPECT_EQ(this->state(L"docs\\x.txt"), PRJ_FILE_STATE_PLACEHOLDER);

    ASSERT_EQ(record->make_shell(L"gone.txt", provider.items[L"a.txt"]), S_OK);
    EXPECT_EQ(record->make_shell(L"gone.txt", provider.items[L"a.txt"]), HRESULT_FROM_WIN32(ERROR_FILE_EXISTS));
    EXPECT_EQ(record->query_state(L"gone.txt", state, &provider), not_found);
    EXPECT_FALSE(on_disk(L"gone.txt"));
    EXPECT_FALSE(recorded(L"gone.txt"));
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

// A process that dies mid-append leaves part of an entry; a damaged file is no record at all.
TEST_F(EmulatedRoot, DamagedRecordKeepsWhatIsWhole)
{
    ASSERT_EQ(write_placeholder(L"a.txt", 2), S_OK);
    const std::wstring record = root_record::record_path(root_);
    HANDLE file = CreateFileW(record.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE);
    auto size = [&] {
        LARGE_INTEGER now{};
        EXPECT_TRUE(GetFileSizeEx(file, &now));
        return now.QuadPart;
    };
    const LONGLONG whole = size();
    // All but the last code unit of a 74-byte entry (17 code units of path): longer than the entry
    // appended next, so that cutting it off is the only way the log stays whole.
    std::byte torn[72] = {std::byte{74}};
    torn[36] = std::byte{17};
    LARGE_INTEGER end{};
    DWORD written = 0;
    EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_END));
    EXPECT_TRUE(WriteFile(file, torn, sizeof torn, &written, nullptr));

    // The emulation's own copy and the test's both go on from the last whole entry.
    EXPECT_EQ(recorded_as(L"a.txt"), recorded_kind::placeholder);
    ASSERT_EQ(write_placeholder(L"b.txt", 3), S_OK);
    EXPECT_EQ(size(), whole + 40 + 2 * 5);  // the torn bytes were cut off before the append
    EXPECT_EQ(recorded_as(L"b.txt"), recorded_kind::placeholder);
    EXPECT_EQ(state(L"b.txt"), PRJ_FILE_STATE_PLACEHOLDER);

    // A header cut short: the root is no longer marked, and its items are what they are on disk.
    end.QuadPart = 51;
    EXPECT_TRUE(SetFilePointerEx(file, end, nullptr, FILE_BEGIN));
    EXPECT_TRUE(SetEndOfFile(file));
    CloseHandle(file);
    EXPECT_FALSE(root_record::open(root_));
    PRJ_CALLBACKS callbacks{};
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT context = nullptr;
    EXPECT_EQ(PrjStartVirtualizing(root_.c_str(), &callbacks, nullptr, nullptr, &context),
              HRESULT_FROM_WIN32(ERROR_NOT_A_REPARSE_POINT));
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
    test_support::temp_folder temp;
    const std::wstring& folder = temp.path();
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
}

} // namespace
