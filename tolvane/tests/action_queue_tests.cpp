#include <tolvane/action_queue.h>
#include <tolvane/package.h>

#include "test_ui.h"

#include <gtest/gtest.h>
#include <testing/support/test_support.h>

#include <platform/ktm/emulated_transactions.h>

#include <string>
#include <vector>

namespace {

using namespace tolvane;
using tolvane::testing::recording_ui;
using test_support::temp_folder;

std::unique_ptr<action> returning(HRESULT hr, std::wstring name, std::vector<std::wstring>* trace = nullptr)
{
    return std::make_unique<generic_action>(
        [hr, name, trace](package&, ActionQueue*, HANDLE) {
            if (trace)
                trace->push_back(name);
            return hr;
        },
        name);
}

std::string text_of(const std::wstring& path)
{
    auto b = test_support::read_file(path);
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

class QueueTest : public ::testing::Test {
protected:
    temp_folder dir;
    package pkg;
    recording_ui ui;
    std::wstring log;

    void SetUp() override
    {
        test_support::make_folder(dir / L"backup");
        pkg.set_backup_folder(dir / L"backup");
        pkg.set_ui(&ui);
        pkg.set_retry_delay(std::chrono::milliseconds(1));
    }
    void write(const std::wstring& name, std::string_view text) { test_support::write_file(dir / name, test_support::to_bytes(text)); }
};

TEST_F(QueueTest, StepTextsInARowKeepOnlyTheLast)
{
    ActionQueue q;
    q.add_status(L"Creating directories");
    q.add_status(L"Copying files");
    q.add(returning(S_OK, L"one"));
    q.add_status(L"Registering components");
    EXPECT_EQ(q.size(), 3u);
    EXPECT_EQ(q.log_text(), L"Generic action: one\r\n");
    ActionQueue undo;
    EXPECT_EQ(q.run(log, pkg, &undo, nullptr, &ui, true), S_OK);
    EXPECT_EQ(ui.events, (std::vector<std::wstring>{L"range 3", L"status Copying files", L"progress 0", L"progress 1",
                                                    L"status Registering components", L"progress 2", L"progress 3"}));
}

TEST_F(QueueTest, ResultsLogLinesAndProgress)
{
    struct run_case {
        const char* what;
        std::vector<HRESULT> results;
        int cancel_at;
        HRESULT expected;
        std::wstring expected_log;
        std::vector<std::wstring> ran;
        std::uint32_t undo_steps;
    };
    const run_case cases[] = {
        {"all succeed", {S_OK, S_OK}, -1, S_OK, L"Generic action: a\r\nGeneric action: b\r\n", {L"a", L"b"}, 0},
        {"one S_FALSE", {S_OK, S_FALSE, S_OK}, -1, S_FALSE,
         L"Generic action: a\r\nGeneric action: b\r\nGeneric action: c\r\n", {L"a", L"b", L"c"}, 0},
        {"a failure stops the run", {S_OK, E_ACCESSDENIED, S_OK}, -1, E_ACCESSDENIED,
         L"Generic action: a\r\nGeneric action: b\r\n\t>>> Error: 0x80070005\r\n", {L"a", L"b"}, 1},
        {"cancel after the first", {S_OK, S_OK, S_OK}, 1, E_ABORT,
         L"Generic action: a\r\nGeneric action: b\r\n*** User aborted\r\n", {L"a", L"b"}, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        recording_ui u;
        u.cancel_at_progress = c.cancel_at;
        pkg.set_ui(&u);
        std::vector<std::wstring> ran;
        ActionQueue q, undo;
        const wchar_t* names[] = {L"a", L"b", L"c"};
        for (std::size_t i = 0; i < c.results.size(); ++i)
            q.add(returning(c.results[i], names[i], &ran));
        std::wstring l;
        EXPECT_EQ(q.run(l, pkg, &undo, nullptr, &u, true), c.expected);
        EXPECT_EQ(l, c.expected_log);
        EXPECT_EQ(ran, c.ran);
        EXPECT_EQ(undo.steps(), c.undo_steps);
        EXPECT_EQ(q.size(), c.results.size()); // keep: every action stays for a later attempt
    }
}

// An exception from an action (a registry script, a registry write) becomes the run's HRESULT, so
// that the caller still rolls back.
TEST_F(QueueTest, ExceptionsBecomeHresults)
{
    struct throw_case {
        const char* what;
        std::function<void()> thrower;
        HRESULT expected;
    };
    const throw_case cases[] = {
        {"hresult_error", [] { throw tavik::details::hresult_error(HRESULT(0x8007000D)); }, HRESULT(0x8007000D)},
        {"traceable_error", [] { tavik::details::throw_hresult(HRESULT(0x80070057)); }, HRESULT(0x80070057)},
        {"bad_function_call", [] { throw std::bad_function_call(); },
         E_UNEXPECTED},
        {"bad_alloc", [] { throw std::bad_alloc(); }, E_OUTOFMEMORY},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        ActionQueue undo;
        write(L"f.txt", "before");
        std::wstring l;
        auto thrower = c.thrower;
        ActionQueue q2;
        q2.add(std::make_unique<remove_file_action>(dir / L"f.txt"));
        q2.add(std::make_unique<generic_action>(
            [thrower](package&, ActionQueue*, HANDLE) -> HRESULT {
                thrower();
                return S_OK;
            },
            L"throws"));
        EXPECT_EQ(q2.run(l, pkg, &undo, nullptr, &ui, true), c.expected);
        EXPECT_NE(l.find(L"Generic action: throws\r\n\t>>> Error: "), std::wstring::npos);
        EXPECT_FALSE(exists(dir / L"f.txt"));
        undo.run_rollback(l, pkg, &ui);
        EXPECT_EQ(text_of(dir / L"f.txt"), "before");
    }
}

TEST_F(QueueTest, DirectoryActions)
{
    test_support::make_folder(dir / L"there");
    ActionQueue q, undo;
    q.add(std::make_unique<create_directory_action>(dir / L"there"));     // exists: success
    q.add(std::make_unique<create_directory_action>(dir / L"a\\b\\c"));   // parents made too
    EXPECT_EQ(q.run(log, pkg, &undo, nullptr, nullptr, true), S_OK);
    EXPECT_TRUE(exists(dir / L"a\\b\\c"));
    EXPECT_EQ(undo.log_text(), L"Removing directory " + (dir / L"there") + L", recurse=0, freeup=0, force=1\r\n"
                                   + L"Removing directory " + (dir / L"a\\b\\c") + L", recurse=0, freeup=0, force=1\r\n");

    // A recursive removal without force meets a file: nothing above it goes, and it still succeeds.
    write(L"a\\b\\keep.txt", "x");
    ActionQueue r;
    r.add(std::make_unique<remove_directory_action>(dir / L"a", true, true, false));
    EXPECT_EQ(r.run(log, pkg, nullptr, nullptr, nullptr, true), S_OK);
    EXPECT_TRUE(exists(dir / L"a\\b\\keep.txt"));
    // With force and free-up the tree goes, and the empty parents above it.
    test_support::make_folder(dir / L"p");
    test_support::make_folder(dir / L"p\\q");
    test_support::make_folder(dir / L"p\\q\\r");
    ActionQueue f;
    f.add(std::make_unique<remove_directory_action>(dir / L"p\\q\\r", true, true, true));
    EXPECT_EQ(f.run(log, pkg, nullptr, nullptr, nullptr, true), S_OK);
    EXPECT_FALSE(exists(dir / L"p"));
    EXPECT_TRUE(exists(dir.path()));
}

// Every level answers "path not found", as a drive that does not exist does on Windows.
class nothing_exists : public platform::ktm::emulated_transactions {
public:
    int calls = 0;
    BOOL create_directory(const std::wstring&, HANDLE) override
    {
        ++calls;
        SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
};

TEST_F(QueueTest, CreateDirectoryTreeStopsAtTheRoot)
{
    for (const wchar_t* path : {L"", L"Q:\\no\\such\\drive", L"Q:", L"\\\\nosuchserver\\share\\x", L"\\x\\y"}) {
        SCOPED_TRACE(std::string(path, path + wcslen(path)));
        if (path[0] != L'\\' || path[1] == L'\\') {
            EXPECT_FALSE(create_directory_tree(pkg, path, nullptr));
        }
        nothing_exists calls;
        package p(calls);
        EXPECT_FALSE(create_directory_tree(p, path, nullptr));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_PATH_NOT_FOUND));
        EXPECT_LE(calls.calls, 4);
    }
}

TEST_F(QueueTest, FileActions)
{
    write(L"src.txt", "new");
    write(L"ro.txt", "old");
    SetFileAttributesW((dir / L"ro.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    ActionQueue q, undo;
    q.add(std::make_unique<copy_file_action>(dir / L"src.txt", dir / L"ro.txt"));   // read-only destination
    q.add(std::make_unique<remove_file_action>(dir / L"never-there.txt"));          // missing: success, no undo
    q.add(std::make_unique<create_link_action>(dir / L"link.txt", dir / L"src.txt"));
    EXPECT_EQ(q.run(log, pkg, &undo, nullptr, nullptr, true), S_OK);
    EXPECT_EQ(text_of(dir / L"ro.txt"), "new");
    EXPECT_EQ(text_of(dir / L"link.txt"), "new");
    EXPECT_EQ(undo.size(), 2u);
    EXPECT_EQ(ui.events.size(), 0u); // nothing was reported locked
    EXPECT_EQ(log, L"Copy file " + (dir / L"src.txt") + L" => " + (dir / L"ro.txt") + L"\r\nRemove file "
                       + (dir / L"never-there.txt") + L"\r\nCreate link " + (dir / L"link.txt") + L" => "
                       + (dir / L"src.txt") + L"\r\n");
}

// Hard links that the file system refuses (ERROR_INVALID_FUNCTION) become copies.
class no_hard_links : public platform::ktm::emulated_transactions {
public:
    BOOL create_hard_link(const std::wstring&, const std::wstring&, HANDLE) override
    {
        SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
};

TEST_F(QueueTest, LinkFallsBackToACopyAndUndoRestoresWhatWasThere)
{
    no_hard_links calls;
    package p(calls);
    p.set_backup_folder(dir / L"backup");
    write(L"src.txt", "new");
    write(L"link.txt", "was there");
    ActionQueue q, undo;
    q.add(std::make_unique<create_link_action>(dir / L"link.txt", dir / L"src.txt"));
    EXPECT_EQ(q.run(log, p, &undo, nullptr, nullptr, true), S_OK);
    EXPECT_EQ(text_of(dir / L"link.txt"), "new");
    undo.run_rollback(log, p, nullptr);
    EXPECT_EQ(text_of(dir / L"link.txt"), "was there");
}

// Two locked destinations: both postponed, retried at the marker once the applications are shut down.
TEST_F(QueueTest, LockedFilesArePostponedToTheMarker)
{
    write(L"src.txt", "new");
    write(L"a.txt", "old a");
    write(L"b.txt", "old b");
    HANDLE holds[2];
    holds[0] = CreateFileW((dir / L"a.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    holds[1] = CreateFileW((dir / L"b.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holds[0], INVALID_HANDLE_VALUE);
    ui.on_shutdown = [&] {
        CloseHandle(holds[0]);
        CloseHandle(holds[1]);
        return true;
    };
    ActionQueue q, undo;
    std::vector<std::wstring> ran;
    q.add(std::make_unique<copy_file_action>(dir / L"src.txt", dir / L"a.txt"));
    q.add(std::make_unique<copy_file_action>(dir / L"src.txt", dir / L"b.txt"));
    q.add(returning(S_OK, L"between", &ran));
    q.add(std::make_unique<empty_delayed_queue_action>());
    q.add(returning(S_OK, L"after", &ran));
    EXPECT_EQ(q.run(log, pkg, &undo, nullptr, &ui, true), S_OK);
    EXPECT_EQ(text_of(dir / L"a.txt"), "new");
    EXPECT_EQ(text_of(dir / L"b.txt"), "new");
    EXPECT_EQ(ui.shutdowns, 1);
    EXPECT_EQ(ui.restarts, 1);
    EXPECT_EQ(ran, (std::vector<std::wstring>{L"between", L"after"}));
    EXPECT_EQ(ui.events[1], L"locked " + (dir / L"a.txt"));
    EXPECT_EQ(ui.events[3], L"locked " + (dir / L"b.txt"));
    EXPECT_NE(log.find(L"Emptying delayed queue\r\n\t>>> Error: 0x80070020\r\n*** Retrying delayed actions\r\n"),
              std::wstring::npos);

    // Declined: the run ends with the sharing violation.
    HANDLE h = CreateFileW((dir / L"a.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ui.on_shutdown = [] { return false; };
    ActionQueue q2, undo2;
    q2.add(std::make_unique<copy_file_action>(dir / L"src.txt", dir / L"a.txt"));
    q2.add(std::make_unique<empty_delayed_queue_action>());
    EXPECT_EQ(q2.run(log, pkg, &undo2, nullptr, &ui, true), sharing_violation_hresult);
    CloseHandle(h);
}

TEST_F(QueueTest, TransactedActionsRecordNoUndoAndTheKernelRollsBack)
{
    platform::ktm::emulated_transactions calls;
    package p(calls);
    p.set_backup_folder(dir / L"backup");
    write(L"src.txt", "new");
    write(L"dest.txt", "old");
    HANDLE t = calls.create_transaction(L"t");
    ActionQueue q, undo;
    q.add(std::make_unique<create_directory_action>(dir / L"made"));
    q.add(std::make_unique<copy_file_action>(dir / L"src.txt", dir / L"dest.txt"));
    q.add(std::make_unique<remove_file_action>(dir / L"src.txt"));
    EXPECT_EQ(q.run(log, p, &undo, t, nullptr, true), S_OK);
    EXPECT_TRUE(undo.empty());
    EXPECT_FALSE(exists(dir / L"src.txt"));
    calls.close_transaction(t);
    EXPECT_EQ(text_of(dir / L"dest.txt"), "old");
    EXPECT_EQ(text_of(dir / L"src.txt"), "new");
    EXPECT_FALSE(exists(dir / L"made"));
}

} // namespace
