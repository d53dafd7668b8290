// What a failed installation leaves behind: every undo puts back what was there before.
#include <tolvane/action_queue.h>
#include <tolvane/package.h>

#include "test_ui.h"

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <platform/ktm/emulated_transactions.h>

#include <string>

namespace {

using namespace tolvane;
using tolvane::testing::recording_ui;
using test_support::temp_folder;

std::string text_of(const std::wstring& path)
{
    auto b = test_support::read_file(path);
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class RollbackTest : public ::testing::Test {
protected:
    temp_folder dir;
    package pkg;
    recording_ui ui;
    std::wstring log;

    void SetUp() override
    {
        test_support::make_folder(dir / L"backup");
        for (const wchar_t* folder : {L"app", L"new", L"top", L"app\\bin", L"app\\outside"})
            test_support::make_folder(dir / folder);
        pkg.set_backup_folder(dir / L"backup");
        pkg.set_ui(&ui);
        pkg.set_retry_delay(std::chrono::milliseconds(1));
    }
    void write(const std::wstring& name, std::string_view text) { test_support::write_file(dir / name, test_support::to_bytes(text)); }
    static std::unique_ptr<action> failing()
    {
        return std::make_unique<generic_action>([](package&, ActionQueue*, HANDLE) { return E_FAIL; }, L"fails");
    }
};

// An upgrade copies over installed files; a failure after it must bring the old files back, not
// delete them.
TEST_F(RollbackTest, UndoingACopyRestoresTheFileThatWasThere)
{
    write(L"new\\setup.exe", "new setup");
    write(L"new\\added.dll", "added");
    write(L"app\\setup.exe", "old setup");
    ActionQueue q, undo;
    q.add(std::make_unique<copy_file_action>(dir / L"new\\setup.exe", dir / L"app\\setup.exe"));
    q.add(std::make_unique<copy_file_action>(dir / L"new\\added.dll", dir / L"app\\added.dll"));
    q.add(failing());
    EXPECT_EQ(q.run(log, pkg, &undo, nullptr, &ui, true), E_FAIL);
    EXPECT_EQ(text_of(dir / L"app\\setup.exe"), "new setup");
    undo.run_rollback(log, pkg, &ui);
    EXPECT_EQ(text_of(dir / L"app\\setup.exe"), "old setup");
    EXPECT_FALSE(exists(dir / L"app\\added.dll"));
}

// A removal that cannot keep a copy of the file must not delete it.
TEST_F(RollbackTest, ARemovalWhoseBackupFailsFailsAndKeepsTheFile)
{
    write(L"app\\data.txt", "precious");
    pkg.set_backup_folder(dir / L"no\\such\\folder");
    ActionQueue q, undo;
    q.add(std::make_unique<remove_file_action>(dir / L"app\\data.txt"));
    EXPECT_EQ(q.run(log, pkg, &undo, nullptr, &ui, true), HRESULT(0x80070003));
    EXPECT_EQ(text_of(dir / L"app\\data.txt"), "precious");
    EXPECT_TRUE(undo.empty());
}

// A junction inside the product's folder may point anywhere; a forced recursive removal must not
// delete what it points to. The file system here cannot make junctions, so the calls report one.
class with_junction : public platform::ktm::emulated_transactions {
public:
    std::wstring junction;
    HANDLE find_first(const std::wstring& pattern, WIN32_FIND_DATAW* data, HANDLE t) override
    {
        HANDLE h = emulated_transactions::find_first(pattern, data, t);
        mark(data);
        return h;
    }
    BOOL find_next(HANDLE find, WIN32_FIND_DATAW* data) override
    {
        BOOL ok = emulated_transactions::find_next(find, data);
        mark(data);
        return ok;
    }
    DWORD get_attributes(const std::wstring& path, HANDLE t) override
    {
        DWORD a = emulated_transactions::get_attributes(path, t);
        return path == junction && a != INVALID_FILE_ATTRIBUTES ? a | FILE_ATTRIBUTE_REPARSE_POINT : a;
    }

private:
    void mark(WIN32_FIND_DATAW* data)
    {
        if (std::wstring(data->cFileName) == L"outside")
            data->dwFileAttributes |= FILE_ATTRIBUTE_REPARSE_POINT;
    }
};

TEST_F(RollbackTest, ForcedDirectoryRemovalDoesNotEnterJunctions)
{
    with_junction calls;
    package p(calls);
    write(L"app\\bin\\a.dll", "a");
    write(L"app\\outside\\user.doc", "the user's");
    write(L"top\\user.doc", "the user's");
    calls.junction = dir / L"top";
    ActionQueue q;
    q.add(std::make_unique<remove_directory_action>(dir / L"app", true, false, true));
    q.add(std::make_unique<remove_directory_action>(dir / L"top", true, false, true));
    EXPECT_EQ(q.run(log, p, nullptr, nullptr, nullptr, true), S_OK);
    EXPECT_FALSE(exists(dir / L"app\\bin"));
    EXPECT_EQ(text_of(dir / L"app\\outside\\user.doc"), "the user's");
    EXPECT_EQ(text_of(dir / L"top\\user.doc"), "the user's");
}

// Once the user has cancelled, every set_progress answers false; the rollback must still undo
// everything, not stop after its first action.
TEST_F(RollbackTest, RollbackAfterACancelRunsToTheEnd)
{
    write(L"src.txt", "new");
    ActionQueue q, undo;
    for (int i = 0; i < 4; ++i)
        q.add(std::make_unique<copy_file_action>(dir / L"src.txt", dir / (L"app\\f" + std::to_wstring(i))));
    q.add(std::make_unique<create_directory_action>(dir / L"app\\sub"));
    ui.cancel_at_progress = 4;
    EXPECT_EQ(q.run(log, pkg, &undo, nullptr, &ui, true), E_ABORT);
    EXPECT_EQ(undo.steps(), 4u);
    undo.run_rollback(log, pkg, &ui);
    for (int i = 0; i < 4; ++i)
        EXPECT_FALSE(exists(dir / (L"app\\f" + std::to_wstring(i))));
    EXPECT_FALSE(exists(dir / L"app\\sub"));
    EXPECT_TRUE(undo.empty());
}

// An undo that meets a locked file is retried after the applications are shut down, not dropped.
TEST_F(RollbackTest, RollbackRetriesLockedFilesThroughTheMarker)
{
    write(L"src.txt", "new");
    write(L"app\\in-use.dll", "old");
    ActionQueue q, undo;
    q.add(std::make_unique<copy_file_action>(dir / L"src.txt", dir / L"app\\in-use.dll"));
    q.add(failing());
    EXPECT_EQ(q.run(log, pkg, &undo, nullptr, &ui, true), E_FAIL);
    HANDLE h = CreateFileW((dir / L"app\\in-use.dll").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ui.on_shutdown = [&] {
        CloseHandle(h);
        return true;
    };
    EXPECT_EQ(undo.run_rollback(log, pkg, &ui), S_OK);
    EXPECT_EQ(text_of(dir / L"app\\in-use.dll"), "old");
    EXPECT_EQ(ui.shutdowns, 1);
    EXPECT_EQ(ui.restarts, 1);
}

} // namespace

namespace {

// A forced recursive removal of a path that an unset variable left relative deletes nothing: the
// current folder is the Windows folder when the installer runs.
TEST_F(RollbackTest, RelativeOrRootFoldersAreNeverRemovedOrCreated)
{
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    SetCurrentDirectoryW(dir.path().c_str());
    test_support::make_folder(dir / L"Data");
    write(L"Data\\user.doc", "the user's");
    ActionQueue q;
    q.add(std::make_unique<remove_directory_action>(L"Data", true, false, true));
    EXPECT_EQ(q.run(log, pkg, nullptr, nullptr, nullptr, true), E_INVALIDARG);
    ActionQueue c;
    c.add(std::make_unique<create_directory_action>(L"Created"));
    EXPECT_EQ(c.run(log, pkg, nullptr, nullptr, nullptr, true), E_INVALIDARG);
    SetCurrentDirectoryW(cwd);
    EXPECT_EQ(text_of(dir / L"Data\\user.doc"), "the user's");
    EXPECT_FALSE(exists(dir / L"Created"));
}

} // namespace
