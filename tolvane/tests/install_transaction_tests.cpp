#include <tolvane/install_transaction.h>
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

std::wstring stub_module()
{
    wchar_t exe[MAX_PATH];
    DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe, n);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"tolvane_stub_self_install.dll";
}

std::size_t count(const std::wstring& text, std::wstring_view what)
{
    std::size_t n = 0;
    for (std::size_t p = text.find(what); p != std::wstring::npos; p = text.find(what, p + 1))
        ++n;
    return n;
}

class TransactionTest : public ::testing::Test {
protected:
    temp_folder dir;
    platform::ktm::emulated_transactions calls;
    package pkg{calls};
    recording_ui ui;
    std::wstring log;
    queue_init queues;

    void SetUp() override
    {
        for (const wchar_t* folder : {L"backup", L"pkg", L"app"})
            test_support::make_folder(dir / folder);
        pkg.set_backup_folder(dir / L"backup");
        pkg.set_ui(&ui);
        pkg.set_retry_delay(std::chrono::milliseconds(1));
        pkg.set_property(L"INSTALLDIR", dir / L"app\\");
        test_support::write_file(dir / L"pkg\\a.dll", test_support::to_bytes("new a"));
        test_support::write_file(dir / L"app\\a.dll", test_support::to_bytes("old a"));
        queues.main.add_status(L"Creating directories");
        queues.main.add(std::make_unique<create_directory_action>(dir / L"app\\sub"));
        queues.main.add_status(L"Copying files");
        queues.main.add(std::make_unique<copy_file_action>(dir / L"pkg\\a.dll", dir / L"app\\a.dll"));
        queues.main.add(std::make_unique<copy_file_action>(dir / L"pkg\\a.dll", dir / L"app\\sub\\b.dll"));
    }

    void add_failure()
    {
        queues.main.add(std::make_unique<generic_action>([](package&, ActionQueue*, HANDLE) { return E_FAIL; }, L"fails"));
    }
    void expect_untouched()
    {
        EXPECT_EQ(text_of(dir / L"app\\a.dll"), "old a");
        EXPECT_FALSE(exists(dir / L"app\\sub"));
    }
};

TEST_F(TransactionTest, AFailedTransactedAttemptIsRolledBackAndRunAgainWithout)
{
    add_failure();
    EXPECT_EQ(run_queues(pkg, queues, &ui, log, 1, false), E_FAIL);
    expect_untouched();
    EXPECT_EQ(count(log, L"*** Starting."), 2u);
    EXPECT_NE(log.find(L"*** Starting. Type=1, Mode=0, Portable=0, Transaction=1\r\n"), std::wstring::npos);
    const auto second = log.find(L"*** Starting. Type=1, Mode=0, Portable=0, Transaction=0\r\n");
    EXPECT_LT(log.find(L"*** Rolling back transaction\r\n"), second);
    EXPECT_GT(log.find(L"*** Non-transaction rollback\r\n"), second);
    EXPECT_TRUE(log.ends_with(L"*** Done\r\n"));
    EXPECT_EQ(calls.transactions_created(), 1u);
}

TEST_F(TransactionTest, AFailedCommitRunsTheQueueAgainWithoutATransaction)
{
    calls.fail_commit();
    EXPECT_EQ(run_queues(pkg, queues, &ui, log, 2, false), S_OK);
    EXPECT_EQ(text_of(dir / L"app\\a.dll"), "new a");
    EXPECT_EQ(text_of(dir / L"app\\sub\\b.dll"), "new a");
    EXPECT_EQ(count(log, L"*** Starting."), 2u);
    EXPECT_LT(log.find(L"*** Committing transaction\r\n"), log.find(L"Transaction=0"));
    EXPECT_NE(log.find(L"*** Post-install actions (always succeed)\r\n*** Done\r\n"), std::wstring::npos);
}

TEST_F(TransactionTest, NoTransactionWhenAskedOrOnWindows11)
{
    for (int variant = 0; variant < 2; ++variant) {
        SCOPED_TRACE(variant);
        std::wstring l;
        queue_init q;
        q.main.add(std::make_unique<create_directory_action>(dir / L"app\\x"));
        pkg.properties() = property_table{};
        pkg.set_property(L"INSTALLDIR", dir / L"app\\");
        if (variant == 0)
            pkg.set_property(L"NoTransactions", L"1");
        EXPECT_EQ(run_queues(pkg, q, &ui, l, 3, variant == 1), S_OK);
        EXPECT_EQ(count(l, L"*** Starting."), 1u);
        EXPECT_NE(l.find(L"Transaction=0"), std::wstring::npos);
    }
    EXPECT_EQ(calls.transactions_created(), 0u);
}

TEST_F(TransactionTest, UntransactedFailureUndoesInReverseOrder)
{
    pkg.set_property(L"NoTransactions", L"yes");
    add_failure();
    EXPECT_EQ(run_queues(pkg, queues, &ui, log, 1, false), E_FAIL);
    expect_untouched();
    // The last change is undone first: the copy into sub before sub itself.
    const auto rollback = log.substr(log.find(L"*** Non-transaction rollback"));
    EXPECT_LT(rollback.find(L"Remove file " + (dir / L"app\\sub\\b.dll")), rollback.find(L"Removing directory "));
}

// The export's service is outside the kernel transaction: after the kernel rollback it is removed
// again, so that the untransacted retry can install it instead of failing with 0x800700B7.
TEST_F(TransactionTest, SelfInstallIsUndoneAfterAKernelRollback)
{
    queues.main.add(std::make_unique<self_install_action>(stub_module(), dir / L"app", L"{component}", 0));
    add_failure();
    EXPECT_EQ(run_queues(pkg, queues, &ui, log, 1, false), E_FAIL);
    EXPECT_EQ(text_of(dir / L"app\\stub.log"), "0T 3- 0- 3- ");
    EXPECT_FALSE(exists(dir / L"app\\service.installed"));
    EXPECT_EQ(count(log, L"Self install file "), 4u);

    // A failed commit also leaves the service behind unless its undo runs.
    DeleteFileW((dir / L"app\\stub.log").c_str());
    queue_init ok;
    ok.main.add(std::make_unique<self_install_action>(stub_module(), dir / L"app", L"{component}", 0));
    calls.fail_commit();
    std::wstring l;
    EXPECT_EQ(run_queues(pkg, ok, &ui, l, 1, false), S_OK);
    EXPECT_EQ(text_of(dir / L"app\\stub.log"), "0T 3- 0- ");
    EXPECT_TRUE(exists(dir / L"app\\service.installed"));
}

TEST_F(TransactionTest, SelfInstallActions)
{
    struct self_case {
        const char* what;
        std::wstring module;
        std::uint32_t number;
        bool portable;
        HRESULT expected;
        std::string stub_log;
        std::wstring undo;
    };
    const self_case cases[] = {
        {"install records uninstall", stub_module(), 0, false, S_OK, "0- ", L"action=3"},
        {"stop records start", stub_module(), 1, false, S_OK, "1- ", L"action=2"},
        {"portable does nothing", stub_module(), 0, true, S_OK, "", L""},
        {"a module that is not a program is skipped", dir / L"pkg\\a.dll", 0, false, S_OK, "", L""},
        {"a missing module fails", dir / L"pkg\\missing.dll", 0, false, HRESULT(0x8007007E), "", L""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DeleteFileW((dir / L"app\\stub.log").c_str());
        DeleteFileW((dir / L"app\\service.installed").c_str());
        pkg.options().portable = c.portable;
        ActionQueue q, undo;
        q.add(std::make_unique<self_install_action>(c.module, dir / L"app\\", L"{component}", c.number));
        std::wstring l;
        EXPECT_EQ(q.run(l, pkg, &undo, nullptr, &ui, true), c.expected);
        EXPECT_EQ(exists(dir / L"app\\stub.log") ? text_of(dir / L"app\\stub.log") : "", c.stub_log);
        std::wstring undo_text = undo.log_text();
        if (c.undo.empty()) {
            EXPECT_TRUE(undo.empty());
        } else {
            EXPECT_NE(undo_text.find(c.undo), std::wstring::npos);
        }
    }
}

// Nothing is changed when the run type is unknown or the installation folder is empty, relative or a
// root (an unset property): such a folder would resolve against the current folder or be a drive.
TEST_F(TransactionTest, BadTypesAndFoldersAreRefusedBeforeAnyAction)
{
    struct refuse_case {
        const char* what;
        std::uint32_t type;
        std::wstring installdir, startmenu;
    };
    const refuse_case cases[] = {
        {"type 0", 0, dir / L"app\\", L""},
        {"type 5", 5, dir / L"app\\", L""},
        {"empty INSTALLDIR", 1, L"", L""},
        {"relative INSTALLDIR", 4, L"Quvan\\Tovalind\\", L""},
        {"drive root", 4, L"C:\\", L""},
        {"rootless", 4, L"\\Program Files\\X", L""},
        {"share root", 4, L"\\\\server\\share\\", L""},
        {"relative STARTMENU", 4, dir / L"app\\", L"Programs\\X"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        pkg.set_property(L"INSTALLDIR", c.installdir);
        pkg.set_property(L"STARTMENU", c.startmenu);
        std::wstring l;
        EXPECT_EQ(run_queues(pkg, queues, &ui, l, c.type, false), E_INVALIDARG);
        EXPECT_EQ(l.find(L"*** Starting."), std::wstring::npos);
        expect_untouched();
    }
    EXPECT_EQ(calls.transactions_created(), 0u);
}

TEST(InstallFolder, Checks)
{
    struct folder_case {
        const wchar_t* path;
        bool accepted;
    };
    const folder_case cases[] = {
        {L"C:\\Program Files\\Quvan\\", true}, {L"d:/apps/x", true},     {L"\\\\server\\share\\apps", true},
        {L"", false},                             {L"C:", false},            {L"C:\\", false},
        {L"C:\\\\", false},                       {L"C:relative", false},    {L"relative\\x", false},
        {L"\\rooted", false},                      {L"\\\\server\\share", false}, {L"\\\\server\\share\\", false},
        {L"\\\\?\\C:\\x", false},                  {L"1:\\x", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path, c.path + wcslen(c.path)));
        EXPECT_EQ(check_install_folder(c.path).empty(), c.accepted);
    }
}

TEST(SetupLog, Utf16WithByteOrderMarkReplacingTheFile)
{
    temp_folder dir;
    const std::wstring path = dir / L"Quvan Setup Log.txt";
    test_support::write_file(path, test_support::to_bytes("something longer that was there before"));
    ASSERT_TRUE(write_setup_log(path, L"*** Done\r\n"));
    auto b = test_support::read_file(path);
    ASSERT_EQ(b.size(), 2u + 20u);
    EXPECT_EQ(b[0], std::byte{0xFF});
    EXPECT_EQ(b[1], std::byte{0xFE});
    EXPECT_EQ(b[2], std::byte{'*'});
    EXPECT_EQ(b[3], std::byte{0});
    EXPECT_TRUE(setup_log_path().ends_with(L"\\Quvan Setup Log.txt"));
}

} // namespace
