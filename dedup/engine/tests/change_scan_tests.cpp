// The change scan against a virtualization root whose items are put into each on-disk state through
// the Projected File System emulation, as an application and the provider would leave them.

#include <dedup/engine/change_scan.h>
#include <dedup/engine/root_folder.h>
#include <dedup/engine/tests/store_test_support.h>
#include <dedup/engine/tests/unix_links.h>

#include <platform/projfs/availability.h>
#include <platform/projfs/emulation/root_record.h>

#include <ostrel/com/ptr.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

using dedup::change_entry;
using dedup::change_kind;
using dedup::change_list;
using dedup::skip_reason;
using dedup::impl::file_t;
using dedup::impl::folder_t;
namespace flags = dedup::change_flags;
using dedup::testing::unix_links;
using dedup::testing::unix_path;
using dedup::testing::temp_folder;

// An entry as the tests compare it.
struct seen {
    std::wstring path;
    change_kind kind;
    std::uint32_t flags;
    std::uint64_t work;
    friend bool operator==(const seen&, const seen&) = default;
    friend void PrintTo(const seen& s, std::ostream* os)
    {
        *os << testing::PrintToString(s.path) << " kind " << int(s.kind) << " flags 0x" << std::hex << s.flags
            << std::dec << " work " << s.work;
    }
};

std::vector<seen> seen_of(const change_list& changes)
{
    std::vector<seen> out;
    for (const auto& e : changes)
        out.push_back({e.path, e.kind, e.flags, e.work});
    return out;
}

constexpr auto added = change_kind::added;
constexpr auto deleted = change_kind::deleted;
constexpr auto placeholder = change_kind::placeholder;
constexpr std::uint32_t clean = PRJ_FILE_STATE_PLACEHOLDER;
constexpr std::uint32_t hydrated = 0x1 | 0x2;  // PLACEHOLDER | HYDRATED_PLACEHOLDER
constexpr std::uint32_t dirty = 0x1 | 0x4;     // PLACEHOLDER | DIRTY_PLACEHOLDER

// Passes every call to the platform except where a test says otherwise.
class scripted_calls final : public dedup::change_scan_calls {
public:
    std::function<bool(const std::wstring& path, HRESULT& result, PRJ_FILE_STATE& state)> override_call;

    HRESULT on_disk_state(const std::wstring& path, PRJ_FILE_STATE& state) const override
    {
        HRESULT result = S_OK;
        if (override_call && override_call(path, result, state))
            return result;
        return dedup::system_change_scan_calls().on_disk_state(path, state);
    }
};

class ChangeScan : public testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(projfs::available());
        dedup::impl::root_folder_options options;
        options.store.eviction_timer = false;
        root_ = Ostrel::com::make<dedup::impl::root_folder>(source_, options);
        ASSERT_EQ(root_->create(base_ / L"Data", dedup::create_params{}), std::error_code());
        folder_ = root_->folder_path();
        GUID id{0x5ca40000u + GetCurrentProcessId(), 1, 2, {3, 4, 5, 6, 7, 8, 9, 10}};
        ASSERT_EQ(PrjMarkDirectoryAsPlaceholder(folder_.c_str(), nullptr, nullptr, &id), S_OK);
        PRJ_CALLBACKS callbacks{};
        ASSERT_EQ(PrjStartVirtualizing(folder_.c_str(), &callbacks, nullptr, nullptr, &instance_), S_OK);
        context_.root = root_.get();
        context_.tree = std::make_shared<folder_t>();
    }

    void TearDown() override
    {
        if (instance_)
            PrjStopVirtualizing(instance_);
    }

    std::wstring full(const std::wstring& relative) const { return folder_ + L"\\" + relative; }

    // The stored tree: an item at `path`, whose parents must be stored already.
    void store(const std::wstring& path, bool folder = false, std::uint64_t size = 3)
    {
        const auto split = path.rfind(L'\\');
        const std::wstring parent_path = split == std::wstring::npos ? L"" : path.substr(0, split);
        auto parent = folder_t::find_path(context_.tree, parent_path);
        ASSERT_TRUE(parent && parent->item->is_folder()) << "no stored parent for " << testing::PrintToString(path);
        auto* parent_folder = static_cast<folder_t*>(parent->item.get());
        std::shared_ptr<file_t> node = folder ? std::make_shared<folder_t>() : std::make_shared<file_t>();
        node->size = folder ? 0 : size;
        node->parent = parent_folder;
        parent_folder->insert_or_assign(split == std::wstring::npos ? path : path.substr(split + 1), node);
    }

    // On disk, as the provider writes it: a clean placeholder (not stored by itself).
    void placeholder_on_disk(const std::wstring& path, bool folder = false, UINT32 attributes = 0)
    {
        PRJ_PLACEHOLDER_INFO info{};
        info.FileBasicInfo.IsDirectory = folder;
        info.FileBasicInfo.FileSize = folder ? 0 : 3;
        info.FileBasicInfo.CreationTime.QuadPart = 132000000000000000;
        info.FileBasicInfo.LastWriteTime.QuadPart = 132000000000000000;
        info.FileBasicInfo.LastAccessTime.QuadPart = 132000000000000000;
        info.FileBasicInfo.ChangeTime.QuadPart = 132000000000000000;
        info.FileBasicInfo.FileAttributes = attributes;
        ASSERT_EQ(PrjWritePlaceholderInfo(instance_, path.c_str(), &info, sizeof info), S_OK);
    }

    // Stored and on disk as a clean placeholder.
    void stored_placeholder(const std::wstring& path, bool folder = false)
    {
        store(path, folder);
        placeholder_on_disk(path, folder);
    }

    // The placeholder's data written by the provider.
    void hydrate(const std::wstring& path)
    {
        write_data(path, "abc", OPEN_EXISTING, false);
        ASSERT_EQ(projfs::emulation::root_record::open(folder_)->mark_hydrated(path), S_OK);
    }

    // Written read-only, made writable by an application: its metadata is dirty.
    void make_dirty(const std::wstring& path)
    {
        store(path);
        placeholder_on_disk(path, false, FILE_ATTRIBUTE_READONLY);
        ASSERT_TRUE(SetFileAttributesW(full(path).c_str(), FILE_ATTRIBUTE_NORMAL));
    }

    // What an application writes: a full file.
    void write_data(const std::wstring& path, const std::string& data, DWORD disposition = CREATE_NEW,
                    bool later = true)
    {
        HANDLE file = CreateFileW(full(path).c_str(), GENERIC_WRITE, 0, nullptr, disposition, 0, nullptr);
        ASSERT_NE(file, INVALID_HANDLE_VALUE) << testing::PrintToString(path);
        DWORD written = 0;
        FILETIME time{};
        GetFileTime(file, nullptr, nullptr, &time);
        EXPECT_TRUE(WriteFile(file, data.data(), DWORD(data.size()), &written, nullptr));
        if (later) {
            // Some file systems keep coarse times: a whole second later is a change anywhere.
            ULARGE_INTEGER t{{time.dwLowDateTime, time.dwHighDateTime}};
            t.QuadPart += 10'000'000;
            time = FILETIME{t.LowPart, t.HighPart};
        }
        EXPECT_TRUE(SetFileTime(file, nullptr, nullptr, &time));
        CloseHandle(file);
    }

    void make_folder(const std::wstring& path) { ASSERT_TRUE(CreateDirectoryW(full(path).c_str(), nullptr)); }

    PRJ_FILE_STATE state_of(const std::wstring& path)
    {
        PRJ_FILE_STATE state = PRJ_FILE_STATE(0);
        EXPECT_EQ(PrjGetOnDiskFileState(full(path).c_str(), &state), S_OK) << testing::PrintToString(path);
        return state;
    }

    change_list scan() { return dedup::scan_changes(context_, calls_); }

    tavik::details::cancellation_source source_;
    temp_folder base_;
    Ostrel::com::ptr<dedup::impl::root_folder> root_;
    std::wstring folder_;
    PRJ_NAMESPACE_VIRTUALIZATION_CONTEXT instance_ = nullptr;
    dedup::optimize_context context_;
    scripted_calls calls_;
};

TEST_F(ChangeScan, AnUnchangedFolderYieldsNoChanges)
{
    EXPECT_EQ(seen_of(scan()), std::vector<seen>{});
    stored_placeholder(L"docs", true);
    stored_placeholder(L"docs\\a.txt");
    // A clean placeholder is listed (a purge of the cache hands it back); its folder is not.
    EXPECT_EQ(seen_of(scan()), (std::vector<seen>{{L"docs\\a.txt", placeholder, clean, 3}}));
    context_.converting = true;
    context_.tree = std::make_shared<folder_t>();
    make_folder(L"empty");
    EXPECT_EQ(seen_of(scan()), (std::vector<seen>{{L"docs", added, flags::folder, 1},
                                                  {L"empty", added, flags::folder, 1},
                                                  {L"docs\\a.txt", added, 0, 3}}));
    EXPECT_TRUE(context_.skipped.empty());
    EXPECT_FALSE(context_.keep_stored_items);
}

TEST_F(ChangeScan, DryRunTakesEveryItemInAndGroupsFilesByType)
{
    // Stored items missing on disk are no deletions in a dry run: it compares nothing.
    store(L"gone.txt");
    write_data(L"b.txt", "bb");
    write_data(L"a.doc", "a");
    write_data(L"c.txt", "ccc");
    write_data(L"x.tar.gz", "xxxx");
    make_folder(L"sub");
    write_data(L"sub\\d.doc", "ddddd");
    context_.converting = true;
    EXPECT_EQ(seen_of(scan()), (std::vector<seen>{{L"sub", added, flags::folder, 1},
                                                  {L"a.doc", added, 0, 1},
                                                  {L"sub\\d.doc", added, 0, 5},
                                                  {L"x.tar.gz", added, 0, 4},
                                                  {L"b.txt", added, 0, 2},
                                                  {L"c.txt", added, 0, 3}}));
}

TEST(FileTypeKey, ExtensionAndStemOfTheLastComponent)
{
    struct key_case {
        const wchar_t* path;
        const wchar_t* extension;
        const wchar_t* stem;
    };
    const key_case cases[] = {
        {L"a.doc", L".doc", L"a"},
        {L"dir.x\\x.tar.gz", L".gz", L"x.tar"},
        {L"noext", L"", L"noext"},
        {L"dir.x\\noext", L"", L"noext"},
        {L"a", L"", L"a"},
        {L".", L"", L"."},
        {L"..", L"", L".."},
        {L".gitignore", L"", L".gitignore"},
        {L".a.b", L".b", L".a"},
        {L"name.", L".", L"name"},
        {L"a.txt:stream", L".txt", L"a:stream"},
        {L"a:s.x", L"", L"a:s.x"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(std::wstring(c.path)));
        const auto key = dedup::file_type_key_of(c.path);
        EXPECT_EQ(key.extension, c.extension);
        EXPECT_EQ(key.stem, c.stem);
    }
    // Extension first, then stem, by code units (case-sensitive); a proper prefix first.
    using dedup::file_type_key_of;
    EXPECT_LT(file_type_key_of(L"z.a"), file_type_key_of(L"a.b"));
    EXPECT_LT(file_type_key_of(L"B.txt"), file_type_key_of(L"a.txt"));
    EXPECT_LT(file_type_key_of(L"noext"), file_type_key_of(L"a.a"));
    EXPECT_LT(file_type_key_of(L"a.tx"), file_type_key_of(L"a.txt"));
}

TEST_F(ChangeScan, EachOnDiskStateMakesItsEntry)
{
    stored_placeholder(L"clean.txt");
    stored_placeholder(L"hydrated.txt");
    hydrate(L"hydrated.txt");
    make_dirty(L"dirty.txt");
    stored_placeholder(L"rewritten.txt");
    write_data(L"rewritten.txt", "changed", CREATE_ALWAYS);
    stored_placeholder(L"tombstone.txt");
    ASSERT_TRUE(DeleteFileW(full(L"tombstone.txt").c_str()));
    store(L"missing.txt");  // removed while the folder was not virtualized: no tombstone
    store(L"olddir", true);
    store(L"olddir\\inner.txt");
    // A placeholder folder an application wrote into is dirty: not recorded, its contents are.
    stored_placeholder(L"docs", true);
    write_data(L"docs\\new.doc", "n");
    ASSERT_EQ(state_of(L"docs"), PRJ_FILE_STATE(dirty));
    make_folder(L"newdir");
    write_data(L"newdir\\n.txt", "nn");
    write_data(L"new.txt", "new");
    ASSERT_EQ(state_of(L"rewritten.txt"), PRJ_FILE_STATE_FULL);

    const auto changes = seen_of(scan());
    const std::vector<seen> expected{
        {L"newdir", added, flags::folder, 1},
        {L"clean.txt", placeholder, clean, 3},
        {L"dirty.txt", placeholder, dirty, 3},
        {L"hydrated.txt", placeholder, hydrated, 3},
        {L"docs\\new.doc", added, 0, 1},
        {L"newdir\\n.txt", added, 0, 2},
        {L"new.txt", added, 0, 3},
        {L"rewritten.txt", added, 0, 7},
        {L"missing.txt", deleted, 0, 1},
        {L"tombstone.txt", deleted, 0, 1},
        {L"olddir", deleted, flags::folder, 1},
    };
    // Within each group the order is the file system's listing order, except for the sorted new
    // files: compare the groups as sets and the sorted run in order.
    ASSERT_EQ(changes.size(), expected.size());
    EXPECT_EQ(changes[0], expected[0]);
    EXPECT_EQ((std::multiset<std::wstring>{changes[1].path, changes[2].path, changes[3].path}),
              (std::multiset<std::wstring>{L"clean.txt", L"dirty.txt", L"hydrated.txt"}));
    for (std::size_t i = 1; i < 4; ++i) {
        auto match = std::find_if(expected.begin(), expected.end(), [&](const seen& s) { return s.path == changes[i].path; });
        EXPECT_EQ(changes[i], *match);
    }
    for (std::size_t i = 4; i < 8; ++i)
        EXPECT_EQ(changes[i], expected[i]);
    EXPECT_EQ((std::multiset<std::wstring>{changes[8].path, changes[9].path}),
              (std::multiset<std::wstring>{L"missing.txt", L"tombstone.txt"}));
    EXPECT_EQ(changes[10], expected[10]);
    EXPECT_TRUE(context_.skipped.empty());
    EXPECT_FALSE(context_.keep_stored_items);
}

// A folder the scan cannot list tells nothing about its stored items: none of them is released.
TEST_F(ChangeScan, AFolderThatCannotBeListedKeepsItsStoredItems)
{
    stored_placeholder(L"locked", true);
    stored_placeholder(L"locked\\a.txt");
    store(L"locked\\sub", true);
    store(L"locked\\sub\\b.txt");
    store(L"gone.txt");
    HANDLE held = CreateFileW(full(L"locked").c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto changes = seen_of(scan());
    CloseHandle(held);

    EXPECT_EQ(changes, (std::vector<seen>{{L"gone.txt", deleted, 0, 1}}));
    ASSERT_EQ(context_.skipped.size(), 1u);
    EXPECT_EQ(context_.skipped[0].path, L"locked");
    EXPECT_EQ(context_.skipped[0].reason, skip_reason::unreadable_folder);
    // A moved item may sit in the folder nobody could see into: the run releases nothing.
    EXPECT_TRUE(context_.keep_stored_items);
}

TEST_F(ChangeScan, TheFolderItselfThatCannotBeListedReleasesNothing)
{
    stored_placeholder(L"a.txt");
    store(L"docs", true);
    HANDLE held = CreateFileW(folder_.c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto changes = scan();
    CloseHandle(held);
    EXPECT_TRUE(changes.empty());
    ASSERT_EQ(context_.skipped.size(), 1u);
    EXPECT_EQ(context_.skipped[0].path, L"");
    EXPECT_TRUE(context_.keep_stored_items);
}

// Below a tombstone, which cannot be opened, every stored child goes with its folder.
TEST_F(ChangeScan, BelowATombstoneEveryStoredChildIsDeleted)
{
    stored_placeholder(L"t", true);
    stored_placeholder(L"t\\a.txt");
    store(L"t\\sub", true);
    // The platform lists the tombstone; here a folder reported as one that cannot be opened.
    calls_.override_call = [&](const std::wstring& path, HRESULT& result, PRJ_FILE_STATE& state) {
        if (path != full(L"t"))
            return false;
        result = S_OK;
        state = PRJ_FILE_STATE_TOMBSTONE;
        return true;
    };
    HANDLE held = CreateFileW(full(L"t").c_str(), FILE_READ_DATA, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    const auto changes = seen_of(scan());
    CloseHandle(held);
    EXPECT_EQ(changes, (std::vector<seen>{{L"t\\a.txt", deleted, 0, 1},
                                          {L"t", deleted, flags::folder, 1},
                                          {L"t\\sub", deleted, flags::folder, 1}}));
    EXPECT_TRUE(context_.skipped.empty());
    EXPECT_FALSE(context_.keep_stored_items);
}

TEST_F(ChangeScan, AnItemWhoseStateCannotBeReadIsNotRecorded)
{
    stored_placeholder(L"known.txt");
    write_data(L"unknown.txt", "u");
    stored_placeholder(L"docs", true);
    write_data(L"docs\\inner.txt", "i");
    const auto fail = [&](const std::wstring& path, HRESULT& result, PRJ_FILE_STATE&) {
        if (path != full(L"known.txt") && path != full(L"docs") && path != full(L"unknown.txt"))
            return false;
        result = E_ACCESSDENIED;
        return true;
    };
    calls_.override_call = fail;
    // A folder's contents are scanned whatever its own state.
    EXPECT_EQ(seen_of(scan()), (std::vector<seen>{{L"docs\\inner.txt", added, 0, 1}}));
    // An item the tree does not hold might be a moved placeholder: its data would be lost with its
    // old path, so the run keeps every stored item.
    EXPECT_TRUE(context_.keep_stored_items);

    context_.keep_stored_items = false;
    calls_.override_call = [&](const std::wstring& path, HRESULT& result, PRJ_FILE_STATE& state) {
        return path != full(L"unknown.txt") && fail(path, result, state);
    };
    EXPECT_EQ(seen_of(scan()),
              (std::vector<seen>{{L"docs\\inner.txt", added, 0, 1}, {L"unknown.txt", added, 0, 1}}));
    EXPECT_FALSE(context_.keep_stored_items) << "stored items whose state is unknown stay as they are";
}

// A placeholder at a path the tree does not hold was renamed or moved by an application: it is
// read as a new item (its data still comes from its old path) before the old path is released.
TEST_F(ChangeScan, MovedPlaceholdersAreTakenInBeforeTheirOldPathsGo)
{
    // old.txt renamed new.txt: the platform leaves a tombstone and a placeholder.
    stored_placeholder(L"old.txt");
    ASSERT_TRUE(DeleteFileW(full(L"old.txt").c_str()));
    placeholder_on_disk(L"new.txt");
    // A folder renamed with its contents, one of them hydrated, one dirty.
    store(L"olddir", true);
    store(L"olddir\\a.txt");
    store(L"olddir\\b.txt");
    store(L"olddir\\c.txt");
    placeholder_on_disk(L"newdir", true);
    placeholder_on_disk(L"newdir\\a.txt");
    placeholder_on_disk(L"newdir\\b.txt");
    hydrate(L"newdir\\b.txt");
    placeholder_on_disk(L"newdir\\c.txt", false, FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(SetFileAttributesW(full(L"newdir\\c.txt").c_str(), FILE_ATTRIBUTE_NORMAL));
    // A file moved to where the tree holds a folder.
    store(L"was-a-folder", true);
    placeholder_on_disk(L"was-a-folder");
    // A placeholder folder at a path the tree holds as a file.
    store(L"was-a-file");
    placeholder_on_disk(L"was-a-file", true);

    const auto changes = seen_of(scan());
    const std::vector<seen> expected{
        {L"newdir", added, flags::folder | flags::relocated, 1},
        {L"was-a-file", added, flags::folder | flags::relocated, 1},
        {L"was-a-folder", added, flags::relocated, 3},
        {L"newdir\\a.txt", added, flags::relocated, 3},
        {L"newdir\\b.txt", added, flags::relocated, 3},
        {L"newdir\\c.txt", added, flags::relocated, 3},
        {L"new.txt", added, flags::relocated, 3},
        {L"old.txt", deleted, 0, 1},
        {L"olddir", deleted, flags::folder, 1},
    };
    EXPECT_EQ(std::multiset<std::wstring>({changes[0].path, changes[1].path}),
              std::multiset<std::wstring>({L"newdir", L"was-a-file"}));
    std::map<std::wstring, seen> by_path;
    for (const auto& s : changes)
        by_path.emplace(s.path, s);
    for (const auto& s : expected)
        EXPECT_EQ(by_path[s.path], s);
    ASSERT_EQ(changes.size(), expected.size());
    for (std::size_t i = 2; i < expected.size(); ++i)
        EXPECT_EQ(changes[i].path, expected[i].path) << "at " << i;
    EXPECT_FALSE(context_.keep_stored_items);

    // A relocated item that could not be read still has its data only under its old path: the
    // run must then release nothing. Other failures leave the deletions to the run.
    dedup::change_entry ordinary{L"x.txt", 1, added, 0};
    dedup::mark_failed(context_, ordinary);
    EXPECT_EQ(ordinary.flags, flags::failed);
    EXPECT_FALSE(context_.keep_stored_items);
    dedup::change_entry moved{L"new.txt", 3, added, flags::relocated};
    dedup::mark_failed(context_, moved);
    EXPECT_EQ(moved.flags, flags::relocated | flags::failed);
    EXPECT_TRUE(context_.keep_stored_items);
}

TEST_F(ChangeScan, LinksAreNeitherFollowedNorTakenIn)
{
    temp_folder outside;
    dedup::testing::write_file(outside / L"secret.txt", dedup::testing::to_bytes("outside"));
    unix_links links;
    // A link to the folder itself (a loop) and one to a folder outside it.
    if (!links.make(L".", full(L"loop")) || !links.make(unix_path(outside.path()), full(L"out")))
        GTEST_SKIP() << "no links can be made here";
    write_data(L"real.txt", "r");
    store(L"out", true);  // a stored folder now replaced by a link stays stored

    for (bool converting : {false, true}) {
        SCOPED_TRACE(converting ? "dry run" : "optimize");
        context_.converting = converting;
        context_.skipped.clear();
        EXPECT_EQ(seen_of(scan()), (std::vector<seen>{{L"real.txt", added, 0, 1}}));
        std::map<std::wstring, skip_reason> skipped;
        for (const auto& s : context_.skipped)
            skipped.emplace(s.path, s.reason);
        EXPECT_EQ(skipped, (std::map<std::wstring, skip_reason>{{L"loop", skip_reason::link},
                                                                 {L"out", skip_reason::link}}));
        EXPECT_FALSE(context_.keep_stored_items);
    }
}

} // namespace
