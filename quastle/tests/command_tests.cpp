#include "fake_shell_items.h"
#include "loaded_quastle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

using namespace quastle::testing;
using Ostrel::com::ptr;

// Takes a returned text and frees it as Explorer would.
std::wstring take_text(LPWSTR text)
{
    std::wstring result = text ? text : L"<null>";
    CoTaskMemFree(text);
    return result;
}

struct title_answer {
    HRESULT result;
    std::wstring title;
};

title_answer title_of(IExplorerCommand* command, IShellItemArray* items)
{
    LPWSTR text = nullptr;
    const HRESULT hr = command->GetTitle(items, &text);
    return {hr, take_text(text)};
}

// A folder of sample folders, each with or without its store beside or inside it.
class title_folders : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::wstring temp(MAX_PATH + 1, L'\0');
        temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
        root_ = temp + L"quastle titles " + std::to_wstring(GetCurrentProcessId());
        CreateDirectoryW(root_.c_str(), nullptr);
        for (const wchar_t* name : {L"Data", L"Data.dedup", L"Filed", L"Inside", L"Inside\\.dedup", L"Photos.dedup",
                                    L"Photos.DEDUP", L"Plain"})
            CreateDirectoryW(path(name).c_str(), nullptr);
        const HANDLE file = CreateFileW(path(L"Filed.dedup").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
        CloseHandle(file);
    }
    void TearDown() override
    {
        DeleteFileW(path(L"Filed.dedup").c_str());
        for (const wchar_t* name : {L"Inside\\.dedup", L"Data", L"Data.dedup", L"Filed", L"Inside", L"Photos.dedup",
                                    L"Photos.DEDUP", L"Plain"})
            RemoveDirectoryW(path(name).c_str());
        RemoveDirectoryW(root_.c_str());
    }
    std::wstring path(const std::wstring& name) const { return root_ + L"\\" + name; }

    std::wstring root_;
};

TEST_F(title_folders, RootTitleFollowsTheStoreBesideTheFolder)
{
    struct row {
        const wchar_t* name;
        HRESULT result;
        const wchar_t* title;
        EXPCMDFLAGS flags;
    };
    const row rows[] = {
        {L"Data", S_OK, L"Deduplicated Folder", ECF_HASSUBCOMMANDS},           // store beside: submenu
        {L"Filed", S_OK, L"Convert to Deduplicated Folder", ECF_DEFAULT},      // a file is no store
        {L"Inside", S_OK, L"Convert to Deduplicated Folder", ECF_DEFAULT},     // a store is never inside
        {L"Plain", S_OK, L"Convert to Deduplicated Folder", ECF_DEFAULT},
        {L"Photos.DEDUP", S_OK, L"Convert to Deduplicated Folder", ECF_DEFAULT}, // case-sensitive
        {L"Photos.dedup", E_NOTIMPL, L"<null>", ECF_HASSUBCOMMANDS},
        {L"Data.dedup", E_NOTIMPL, L"<null>", ECF_HASSUBCOMMANDS},             // the store itself
    };
    for (const row& r : rows) {
        SCOPED_TRACE(::testing::Message() << "folder " << std::string(r.name, r.name + wcslen(r.name)));
        auto command = quastle_dll().root();
        const auto answer = title_of(command.get(), make_items({.path = path(r.name)}).get());
        EXPECT_EQ(answer.result, r.result);
        EXPECT_EQ(answer.title, r.title);
        EXPECT_EQ(GetFileAttributesW(path(L"Data.dedup").c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_EQ(GetFileAttributesW(path(L"Inside\\.dedup").c_str()) & FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DIRECTORY);
        EXPECT_EQ(GetFileAttributesW(path(L"Filed.dedup").c_str()) & FILE_ATTRIBUTE_DIRECTORY, 0u);
        EXPCMDFLAGS flags = 0xFF;
        EXPECT_EQ(command->GetFlags(&flags), S_OK);
        EXPECT_EQ(flags, r.flags);
    }
}

TEST(ExplorerCommand, BackgroundAndFailingShellCalls)
{
    auto command = quastle_dll().root();
    EXPECT_EQ(title_of(command.get(), nullptr).title, L"Create Deduplicated Folder");

    const shell_items_script failing[] = {
        {.path = L"C:\\Data", .count = 2},
        {.path = L"C:\\Data", .count = 0},
        {.path = L"C:\\Data", .count_fails = true},
        {.path = L"C:\\Data", .item_fails = true},
        {.path = L"C:\\Data", .name_fails = true},
    };
    for (const auto& script : failing) {
        auto fresh = quastle_dll().root();
        const auto answer = title_of(fresh.get(), make_items(script).get());
        EXPECT_EQ(answer.result, E_FAIL);
        EXPECT_EQ(answer.title, L"<null>");
    }
    EXPECT_EQ(command->GetTitle(nullptr, nullptr), E_POINTER);
}

TEST(ExplorerCommand, FlagsBeforeAnyTitleAreTheSubmenus)
{
    auto command = quastle_dll().root();
    EXPCMDFLAGS flags = 0;
    EXPECT_EQ(command->GetFlags(&flags), S_OK);
    EXPECT_EQ(flags, ECF_HASSUBCOMMANDS);
    EXPECT_EQ(command->Invoke(nullptr, nullptr), E_NOTIMPL);
}

TEST(ExplorerCommand, FixedAnswers)
{
    auto command = quastle_dll().root();
    LPWSTR text = reinterpret_cast<LPWSTR>(1);
    EXPECT_EQ(command->GetToolTip(nullptr, &text), E_NOTIMPL);
    EXPECT_EQ(text, nullptr);
    EXPECT_EQ(command->GetIcon(nullptr, &text), S_OK);
    EXPECT_EQ(take_text(text), quastle_dll().plendor() + L",0");
    GUID name{};
    EXPECT_EQ(command->GetCanonicalName(&name), S_OK);
    EXPECT_TRUE(IsEqualGUID(name, quastle::explorer_command_clsid));
    EXPCMDSTATE state = ECS_HIDDEN;
    EXPECT_EQ(command->GetState(nullptr, FALSE, &state), S_OK);
    EXPECT_EQ(state, ECS_ENABLED);
}

// Each entry's command line as the utility receives it.
TEST(ExplorerCommand, InvokeStartsTheUtilityWithVerbAndFolder)
{
    auto& dll = quastle_dll();
    dll.clear_log();
    const std::wstring program = L"\"" + dll.plendor() + L"\"";

    auto create = dll.root();
    title_of(create.get(), nullptr);
    EXPECT_EQ(create->Invoke(nullptr, nullptr), S_OK);
    ASSERT_EQ(dll.logged(1).size(), 1u);

    auto convert = dll.root();
    auto items = make_items({.path = L"C:\\My Data"});
    title_of(convert.get(), items.get());
    EXPECT_EQ(convert->Invoke(items.get(), nullptr), S_OK);
    ASSERT_EQ(dll.logged(2).size(), 2u);

    // The root's Invoke without a path starts the utility with an empty folder.
    auto convert_unnamed = dll.root();
    title_of(convert_unnamed.get(), items.get());
    EXPECT_EQ(convert_unnamed->Invoke(make_items({.path = L"C:\\x", .name_fails = true}).get(), nullptr), S_OK);
    ASSERT_EQ(dll.logged(3).size(), 3u);

    // The submenu's entries, in their order: open, optimize, recover, delete.
    auto submenu = dll.root();
    IEnumExplorerCommand* raw = nullptr;
    ASSERT_EQ(submenu->EnumSubCommands(&raw), S_OK);
    auto entries = ptr<IEnumExplorerCommand>::adopt(raw);
    IExplorerCommand* got[4] = {};
    ULONG fetched = 0;
    ASSERT_EQ(entries->Next(4, got, &fetched), S_OK);
    ASSERT_EQ(fetched, 4u);
    auto folder = make_items({.path = L"C:\\"});
    for (IExplorerCommand* entry : got) {
        EXPECT_EQ(entry->Invoke(folder.get(), nullptr), S_OK);
        // No path: nothing starts.
        EXPECT_EQ(entry->Invoke(make_items({.path = L"C:\\x", .item_fails = true}).get(), nullptr), E_NOTIMPL);
        EXPECT_EQ(entry->Invoke(nullptr, nullptr), E_NOTIMPL);
        entry->Release();
    }

    const auto lines = dll.logged(7);
    ASSERT_EQ(lines.size(), 7u);
    // The utility is started in the order of the calls, but may log out of it.
    std::vector<std::wstring> sorted(lines.begin(), lines.end());
    std::sort(sorted.begin(), sorted.end());
    std::vector<std::wstring> expected = {
        program + L" --create-in \"\"",
        program + L" --convert \"C:\\My Data\"",
        program + L" --convert \"\"",
        program,
        program + L" --optimize \"C:\\\"",
        program + L" --recover \"C:\\\"",
        program + L" --delete \"C:\\\"",
    };
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(sorted, expected);
}

TEST(ExplorerCommand, SubmenuEntries)
{
    auto submenu = quastle_dll().root();
    IEnumExplorerCommand* raw = nullptr;
    ASSERT_EQ(submenu->EnumSubCommands(&raw), S_OK);
    auto entries = ptr<IEnumExplorerCommand>::adopt(raw);

    IExplorerCommand* got[10] = {};
    ULONG fetched = 0;
    EXPECT_EQ(entries->Next(10, got, &fetched), S_OK);
    ASSERT_EQ(fetched, 4u);
    const wchar_t* titles[] = {L"Open configuration utility", L"Optimize", L"Recover recently deleted files", L"Delete"};
    const EXPCMDFLAGS flags[] = {0, 0, 0, ECF_SEPARATORBEFORE};
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(title_of(got[i], nullptr).title, titles[i]);
        EXPCMDFLAGS f = 0xFF;
        EXPECT_EQ(got[i]->GetFlags(&f), S_OK);
        EXPECT_EQ(f, flags[i]);
        LPWSTR text = reinterpret_cast<LPWSTR>(1);
        EXPECT_EQ(got[i]->GetIcon(nullptr, &text), E_NOTIMPL);
        EXPECT_EQ(text, nullptr);
        IEnumExplorerCommand* none = reinterpret_cast<IEnumExplorerCommand*>(1);
        EXPECT_EQ(got[i]->EnumSubCommands(&none), E_NOTIMPL);
        EXPECT_EQ(none, nullptr);
        GUID name{};
        EXPECT_EQ(got[i]->GetCanonicalName(&name), S_OK);
        EXPECT_TRUE(IsEqualGUID(name, quastle::explorer_command_clsid));
        got[i]->Release();
    }
    EXPECT_EQ(entries->Next(1, got, &fetched), S_FALSE);
    EXPECT_EQ(fetched, 0u);

    // Skip stops at the end, also for a count that would wrap round.
    EXPECT_EQ(entries->Reset(), S_OK);
    EXPECT_EQ(entries->Skip(3), S_OK);
    IEnumExplorerCommand* clone_raw = nullptr;
    ASSERT_EQ(entries->Clone(&clone_raw), S_OK);
    auto clone = ptr<IEnumExplorerCommand>::adopt(clone_raw);
    EXPECT_EQ(entries->Skip(0xFFFFFFFFu), S_OK);
    EXPECT_EQ(entries->Next(1, got, nullptr), S_FALSE);
    // The clone starts at 0, not where its source stood.
    EXPECT_EQ(clone->Next(1, got, nullptr), S_OK);
    EXPECT_EQ(title_of(got[0], nullptr).title, L"Open configuration utility");
    got[0]->Release();
    EXPECT_EQ(clone->Skip(100), S_OK);
    EXPECT_EQ(clone->Next(1, got, &fetched), S_FALSE);

    // Only the submenu root has entries.
    auto convert = quastle_dll().root();
    title_of(convert.get(), nullptr);
    IEnumExplorerCommand* none = reinterpret_cast<IEnumExplorerCommand*>(1);
    EXPECT_EQ(convert->EnumSubCommands(&none), E_NOTIMPL);
    EXPECT_EQ(none, nullptr);
}

TEST(ExplorerCommand, QueryInterfaceTable)
{
    auto command = quastle_dll().root();
    IEnumExplorerCommand* raw = nullptr;
    ASSERT_EQ(command->EnumSubCommands(&raw), S_OK);
    auto entries = ptr<IEnumExplorerCommand>::adopt(raw);
    IExplorerCommand* entry = nullptr;
    ASSERT_EQ(entries->Next(1, &entry, nullptr), S_OK);
    auto sub = ptr<IExplorerCommand>::adopt(entry);

    struct row {
        IUnknown* object;
        const IID* iid;
        HRESULT result;
    };
    const row rows[] = {
        {command.get(), &IID_IUnknown, S_OK},           {command.get(), &IID_IExplorerCommand, S_OK},
        {command.get(), &IID_IObjectWithSite, S_OK},    {command.get(), &IID_IEnumExplorerCommand, E_NOINTERFACE},
        {command.get(), &IID_IClassFactory, E_NOINTERFACE}, {sub.get(), &IID_IExplorerCommand, S_OK},
        {sub.get(), &IID_IObjectWithSite, S_OK},        {sub.get(), &IID_IEnumExplorerCommand, E_NOINTERFACE},
        {entries.get(), &IID_IUnknown, S_OK},           {entries.get(), &IID_IEnumExplorerCommand, S_OK},
        {entries.get(), &IID_IExplorerCommand, E_NOINTERFACE}, {entries.get(), &IID_IObjectWithSite, E_NOINTERFACE},
    };
    for (const row& r : rows) {
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(r.object->QueryInterface(*r.iid, &out), r.result);
        if (r.result == S_OK) {
            ASSERT_NE(out, nullptr);
            static_cast<IUnknown*>(out)->Release();
        } else {
            EXPECT_EQ(out, nullptr);
        }
    }
}

// A site that notices its last release.
class probe_site : public Ostrel::com::details::object<probe_site, IServiceProvider> {
public:
    explicit probe_site(bool* released) : released_(released) {}
    ~probe_site() override { *released_ = true; }
    HRESULT STDMETHODCALLTYPE QueryService(REFGUID, REFIID, void**) override { return E_NOTIMPL; }

private:
    bool* released_;
};

TEST(ExplorerCommand, SiteIsKeptUntilTheObjectGoes)
{
    bool released = false;
    {
        auto command = quastle_dll().root();
        IObjectWithSite* with_site = nullptr;
        ASSERT_EQ(command->QueryInterface(IID_IObjectWithSite, reinterpret_cast<void**>(&with_site)), S_OK);
        void* out = reinterpret_cast<void*>(1);
        EXPECT_EQ(with_site->GetSite(IID_IUnknown, &out), E_FAIL);
        EXPECT_EQ(out, nullptr);
        {
            auto site = Ostrel::com::make<probe_site>(&released);
            EXPECT_EQ(with_site->SetSite(site.get()), S_OK);
        }
        EXPECT_FALSE(released);
        EXPECT_EQ(with_site->GetSite(IID_IServiceProvider, &out), S_OK);
        static_cast<IUnknown*>(out)->Release();
        EXPECT_EQ(with_site->GetSite(IID_IExplorerCommand, &out), E_NOINTERFACE);
        with_site->Release();
    }
    EXPECT_TRUE(released);
}

} // namespace

namespace {

// The shell's own item array, as Explorer passes it.
TEST_F(title_folders, RealShellItemArray)
{
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED), 0);
    {
        IShellItem* item_raw = nullptr;
        ASSERT_EQ(SHCreateItemFromParsingName(path(L"Data").c_str(), nullptr, IID_IShellItem,
                                              reinterpret_cast<void**>(&item_raw)),
                  S_OK);
        auto item = ptr<IShellItem>::adopt(item_raw);
        IShellItemArray* array_raw = nullptr;
        ASSERT_EQ(SHCreateShellItemArrayFromShellItem(item.get(), IID_IShellItemArray, reinterpret_cast<void**>(&array_raw)),
                  S_OK);
        auto items = ptr<IShellItemArray>::adopt(array_raw);
        auto command = quastle_dll().root();
        const auto answer = title_of(command.get(), items.get());
        EXPECT_EQ(answer.result, S_OK);
        EXPECT_EQ(answer.title, L"Deduplicated Folder");
    }
    CoUninitialize();
}

} // namespace
