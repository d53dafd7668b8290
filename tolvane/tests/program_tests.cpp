// The installer as real processes under Wine: a package folder made for each test (config.ini
// written here, the icon, the built installer as setup.exe and an archive made by 7zz at build
// time), runs of the working copy whose exit code the test reads, and the launcher followed through
// a job until every process it started has ended. Each test has its own product id, folders and
// temporary folder (where the setup log and the extraction go).

#include <gtest/gtest.h>
#include <testing/support/child_process.h>
#include <testing/support/test_support.h>

#include <ostrel/registry_ex.h>
#include <tolvane/command_line.h>

#include <functional>
#include <string>
#include <vector>

#include <windows.h>

namespace {

using test_support::temp_folder;

constexpr wchar_t source_id[] = L"{5A1D0C3E-7B2F-4E51-9C3A-2B6D8E4F1A07}";
constexpr wchar_t main_feature[] = L"{7D0A0C3E-0000-4E51-9C3A-2B6D8E4F1A01}";
constexpr wchar_t docs_feature[] = L"{7D0A0C3E-0000-4E51-9C3A-2B6D8E4F1A02}";
constexpr wchar_t uninstall_base[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\";

std::wstring bin_folder()
{
    wchar_t exe[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path(exe, n);
    return path.substr(0, path.find_last_of(L'\\'));
}

std::wstring pieces() { return bin_folder() + L"\\tolvane_package"; }

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string text_of(const std::wstring& path)
{
    if (!exists(path))
        return {};
    auto b = test_support::read_file(path);
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

std::wstring wide_text_of(const std::wstring& path)
{
    auto b = test_support::read_file(path);
    if (b.size() < 2)
        return {};
    return std::wstring(reinterpret_cast<const wchar_t*>(b.data() + 2), (b.size() - 2) / 2);
}

bool key_exists(HKEY root, const std::wstring& path)
{
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

class InstallerProgram : public ::testing::Test {
protected:
    temp_folder dir;
    std::wstring app_id = L"TolvaneProgramTest-" + std::to_wstring(GetCurrentProcessId()) + L"-"
                          + std::to_wstring(GetTickCount64());
    // A CLSID of this test's own, for the registry script of the shell component.
    std::wstring clsid = L"{7D0A0C3E-1111-4E51-9C3A-" + [] {
        wchar_t tail[13];
        swprintf(tail, 13, L"%012llX", static_cast<unsigned long long>(GetTickCount64() ^ (GetCurrentProcessId() << 20)));
        return std::wstring(tail);
    }() + L"}";
    std::wstring package = dir / L"pkg";
    std::wstring temp = dir / L"temp";
    std::wstring app = dir / L"app";
    std::wstring menu = dir / L"menu";
    HKEY root = HKEY_CURRENT_USER;
    // Each test's own pending-reboot marker, so that one test's marker ends no other test's run.
    std::wstring reboot_key = L"Software\\Tolvane tests\\" + app_id;

    void SetUp() override
    {
        SetEnvironmentVariableW(L"TOLVANE_TEST_PENDING_REBOOT_KEY", reboot_key.c_str());
        test_support::make_folder(package);
        test_support::make_folder(temp);
        for (const wchar_t* name : {L"icon.png", L"setup.exe"})
            ASSERT_TRUE(CopyFileW((pieces() + L"\\" + name).c_str(), (package + L"\\" + name).c_str(), FALSE));
    }
    void TearDown() override
    {
        RegDeleteTreeW(HKEY_CURRENT_USER, reboot_key.c_str());
        SetEnvironmentVariableW(L"TOLVANE_TEST_PENDING_REBOOT_KEY", nullptr);
        SetEnvironmentVariableW(L"TOLVANE_TEST_WAIT_PROCESS_MS", nullptr);
        for (HKEY r : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
            RegDeleteTreeW(r, (uninstall_base + app_id).c_str());
        RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Classes\\CLSID\\" + clsid).c_str());
        // The removal values of this test's working copies.
        HKEY run_once;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0,
                          KEY_READ | KEY_WRITE, &run_once)
            == ERROR_SUCCESS) {
            std::vector<std::wstring> ours;
            wchar_t name[256];
            for (DWORD i = 0;; ++i) {
                DWORD length = 256;
                if (RegEnumValueW(run_once, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
                    break;
                if (Ostrel::registry_ex::value(run_once, name).get_string().find(temp) != std::wstring::npos)
                    ours.push_back(name);
            }
            for (const std::wstring& n : ours)
                RegDeleteValueW(run_once, n.c_str());
            RegCloseKey(run_once);
        }
    }

    // The package of version 1.2.3.<build> with the archive `archive` (v1, v2, hostile);
    // `extra_file` adds an entry to the core component.
    void make_package(int build, const wchar_t* archive, const std::wstring& extra_file = {})
    {
        std::wstring ini = L"[Configuration]\r\nSourceID=" + std::wstring(source_id) + L"\r\nMAJOR=1\r\nMINOR=2\r\nREVISION=3\r\n"
                           L"BUILD=" + std::to_wstring(build) + L"\r\nAppID=" + app_id + L"\r\n"
                           L"LongName=Tolvane Test Product\r\nProductName=Tolvane Test\r\n"
                           L"INSTALLDIR_USER=" + app + L"\\\r\nINSTALLDIR_MACHINE=" + app + L"\\\r\n"
                           L"STARTMENU=" + menu + L"\\\r\n"
                           L"[General]\r\ncomponents=core,shell,docs,menu\r\n"
                           L"[Component_core]\r\nf1=app.txt*0\r\nf2=data.bin*0\r\n"
                           + (extra_file.empty() ? L"" : L"f3=" + extra_file + L"*0\r\n")
                           + L"d1=$(INSTALLDIR)Data*1\r\nversion=1.2.3." + std::to_wstring(build) + L"\r\n"
                           L"[Component_shell]\r\nf1=tolvane_stub_self_install.dll*514*abcdef" + clsid + L"\r\n"
                           L"[Component_docs]\r\nf1=manual.txt*0\r\n"
                           L"[Component_menu]\r\nInstallDir=$(STARTMENU)\r\nshortcuts=s1\r\n"
                           L"[Shortcut_menu_s1]\r\nlocation=App.lnk\r\ntarget=$(INSTALLDIR)app.txt\r\ndescription=Tolvane test\r\n"
                           L"[Feature_root]\r\ncomponents=core\r\nchildren=main,docs\r\n"
                           L"[Feature_main]\r\nid=" + main_feature + L"\r\nselected=1\r\nstartmenu=1\r\ncomponents=shell,menu\r\n"
                           L"[Feature_docs]\r\nid=" + docs_feature + L"\r\nselected=0\r\ncomponents=docs\r\n";
        std::string bytes = "\xFF\xFE";
        bytes.append(reinterpret_cast<const char*>(ini.data()), ini.size() * sizeof(wchar_t));
        test_support::write_file(package + L"\\config.ini", test_support::to_bytes(bytes));
        ASSERT_TRUE(CopyFileW((pieces() + L"\\" + archive + L".7z").c_str(),
                              (package + L"\\" + source_id + L".7z").c_str(), FALSE));
    }

    std::wstring environment(bool as_copy, const std::wstring& archive_dir)
    {
        std::wstring block;
        wchar_t* env = GetEnvironmentStringsW();
        for (const wchar_t* p = env; *p; p += wcslen(p) + 1) {
            std::wstring_view e(p);
            if (e.starts_with(L"TEMP=") || e.starts_with(L"TMP=") || e.starts_with(L"QUVAN-RAVELWIN3-"))
                continue;
            block += e;
            block += L'\0';
        }
        FreeEnvironmentStringsW(env);
        for (const std::wstring& pair : {L"TEMP=" + temp, L"TMP=" + temp}) {
            block += pair;
            block += L'\0';
        }
        if (as_copy) {
            block += L"QUVAN-RAVELWIN3-ISCOPY=YES";
            block += L'\0';
            block += L"QUVAN-RAVELWIN3-ARCHIVE_DIR=" + archive_dir;
            block += L'\0';
        }
        block += L'\0';
        return block;
    }

    // The working copy started on the package: its exit code. Tests run in parallel, so none takes
    // the installer's single-instance mutex.
    DWORD run(const std::wstring& arguments, const std::wstring& folder = {}, bool inherit = false)
    {
        std::wstring line = L"\"" + package + L"\\setup.exe\" --allow-parallel " + arguments;
        std::wstring env = environment(true, folder.empty() ? package : folder);
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        EXPECT_TRUE(test_support::create_process(nullptr, line.data(), inherit, CREATE_UNICODE_ENVIRONMENT, env.data(),
                                                 nullptr, &si, &pi));
        EXPECT_EQ(WaitForSingleObject(pi.hProcess, 240000), WAIT_OBJECT_0);
        DWORD code = 0xDEAD;
        GetExitCodeProcess(pi.hProcess, &code);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return code;
    }

    // A launcher started on `program`, followed until its job is empty; `before_end` runs once the
    // launcher has ended (its working copy may still run).
    void run_launcher(const std::wstring& program, const std::wstring& arguments, bool inherit = false,
                      const std::function<void()>& before_end = {})
    {
        HANDLE job = CreateJobObjectW(nullptr, nullptr);
        HANDLE port = CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1);
        JOBOBJECT_ASSOCIATE_COMPLETION_PORT a{};
        a.CompletionPort = port;
        ASSERT_TRUE(SetInformationJobObject(job, JobObjectAssociateCompletionPortInformation, &a, sizeof(a)));
        std::wstring line = L"\"" + program + L"\" " + arguments;
        std::wstring env = environment(false, {});
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        PROCESS_INFORMATION pi{};
        const DWORD flags = CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_BREAKAWAY_FROM_JOB;
        ASSERT_TRUE(test_support::create_process(nullptr, line.data(), inherit, flags, env.data(), nullptr, &si, &pi));
        ASSERT_TRUE(AssignProcessToJobObject(job, pi.hProcess));
        ResumeThread(pi.hThread);
        DWORD launcher_code = 0xDEAD;
        if (before_end) {
            EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0);
            before_end();
        }
        // The working copy is the first process the launcher starts. (Processes that Wine starts on
        // demand for COM may join the job and outlive it, so the job need not empty.)
        DWORD copy = 0;
        for (;;) {
            DWORD message = 0;
            ULONG_PTR key = 0;
            LPOVERLAPPED data = nullptr;
            ASSERT_TRUE(GetQueuedCompletionStatus(port, &message, &key, &data, 240000));
            const auto id = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(data));
            if (message == JOB_OBJECT_MSG_NEW_PROCESS && copy == 0 && id != pi.dwProcessId)
                copy = id;
            if ((message == JOB_OBJECT_MSG_EXIT_PROCESS || message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) && id == copy)
                break;
            if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO)
                break;
        }
        GetExitCodeProcess(pi.hProcess, &launcher_code);
        EXPECT_EQ(launcher_code, 0u);
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        CloseHandle(port);
        CloseHandle(job);
    }

    std::wstring entry() const { return uninstall_base + app_id; }
    std::wstring log_path() const { return temp + L"\\Quvan Setup Log.txt"; }

    void expect_installed(const char* app_text)
    {
        EXPECT_EQ(text_of(app + L"\\app.txt"), app_text);
        EXPECT_EQ(test_support::file_size(app + L"\\data.bin"), 65536u);
        EXPECT_TRUE(exists(app + L"\\tolvane_stub_self_install.dll"));
        EXPECT_FALSE(exists(app + L"\\manual.txt")); // the docs feature is not chosen
        EXPECT_TRUE(exists(app + L"\\Data"));
        for (const wchar_t* name : {L"config.ini", L"icon.png", L"setup.exe"})
            EXPECT_TRUE(exists(app + L"\\Setup\\" + name)) << name;
        EXPECT_TRUE(exists(app + L"\\Setup\\" + std::wstring(source_id) + L".7z"));
        EXPECT_TRUE(exists(menu + L"\\App.lnk"));
        EXPECT_TRUE(exists(app + L"\\service.installed"));

        using Ostrel::registry_ex::value;
        EXPECT_EQ(value(root, entry(), L"DisplayName").get_string(), L"Tolvane Test Product");
        EXPECT_EQ(value(root, entry(), L"Quvan Setup Prop: INSTALLDIR").get_string(), app + L"\\");
        EXPECT_EQ(value(root, entry(), L"QuietUninstallString").get_string(),
                  L"\"" + app + L"\\Setup\\setup.exe\" -uninstall -silent");
        EXPECT_EQ(value(root, entry() + L"\\Components\\core", L"UsageCount").get_qword(), 1u);
        EXPECT_EQ(value(root, entry() + L"\\Components\\shell", L"Source").get_string(), source_id);
        EXPECT_EQ(value(root, entry() + L"\\Features\\" + main_feature, L"CurrentState").get_qword(), 1u);
        EXPECT_FALSE(key_exists(root, entry() + L"\\Features\\" + docs_feature));
        EXPECT_EQ(value(HKEY_CURRENT_USER, L"Software\\Classes\\CLSID\\" + clsid + L"\\InprocServer32", L"").get_string(),
                  app + L"\\tolvane_stub_self_install.dll");
    }

    void expect_removed()
    {
        for (const wchar_t* name : {L"app.txt", L"data.bin", L"tolvane_stub_self_install.dll", L"Data", L"Setup",
                                    L"service.installed"})
            EXPECT_FALSE(exists(app + L"\\" + name)) << name;
        EXPECT_FALSE(exists(menu));
        EXPECT_FALSE(key_exists(root, entry()));
        EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, L"Software\\Classes\\CLSID\\" + clsid));
    }
};

TEST_F(InstallerProgram, InstallPerUserThenUninstallThroughTheInstalledLauncher)
{
    make_package(4, L"v1");
    ASSERT_EQ(run(L"-silent"), 0u);
    expect_installed("application version 1\r\n");
    EXPECT_EQ(Ostrel::registry_ex::value(root, entry(), L"Quvan Setup Prop: VERSION").get_qword(), 0x0001000200030004ull);
    EXPECT_EQ(text_of(app + L"\\stub.log"), "0- ");
    EXPECT_FALSE(exists(log_path())); // written only when a run fails

    run_launcher(app + L"\\Setup\\setup.exe", L"-uninstall -silent --allow-parallel");
    expect_removed();
    EXPECT_EQ(text_of(app + L"\\stub.log"), "0- 3- ");

    // The working copy left its removal script beside itself and a RunOnce value that runs it.
    std::vector<std::wstring> scripts;
    for (const std::wstring& name : test_support::list_files(temp))
        if (name.ends_with(L".quvansetup.exe.wsf"))
            scripts.push_back(name);
    ASSERT_EQ(scripts.size(), 1u);
    EXPECT_NE(text_of(temp + L"\\" + scripts[0]).find("Used to delete a copy of setup after log off/restart"),
              std::string::npos);
    const std::wstring copy = scripts[0].substr(0, scripts[0].size() - 4);
    const std::wstring expected = L"wscript //b //Nologo \"" + temp + L"\\" + scripts[0] + L"\" \"/delete:" + copy + L"\"";
    HKEY run_once;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce", 0,
                            KEY_READ | KEY_WRITE, &run_once),
              ERROR_SUCCESS);
    bool found = false;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumValueW(run_once, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (Ostrel::registry_ex::value(run_once, name).get_string() == expected) {
            found = true;
            RegDeleteValueW(run_once, name);
            break;
        }
    }
    RegCloseKey(run_once);
    EXPECT_TRUE(found);
}

TEST_F(InstallerProgram, ResourcesOfTheProgram)
{
    HMODULE program = LoadLibraryExW((package + L"\\setup.exe").c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    ASSERT_NE(program, nullptr);
    EXPECT_NE(FindResourceW(program, MAKEINTRESOURCEW(135), MAKEINTRESOURCEW(5)), nullptr); // RT_DIALOG
    EXPECT_NE(FindResourceW(program, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24)), nullptr);  // RT_MANIFEST
    EXPECT_NE(FindResourceW(program, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(16)), nullptr);  // RT_VERSION
    HRSRC script = FindResourceW(program, MAKEINTRESOURCEW(132), L"CLEAN");
    ASSERT_NE(script, nullptr);
    const auto* bytes = static_cast<const char*>(LockResource(LoadResource(program, script)));
    const std::string text(bytes, SizeofResource(program, script));
    EXPECT_EQ(text.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_NE(text.find("helpstring=\"The name of the setup executable to delete\""), std::string::npos);
    EXPECT_NE(text.find("\r\n"), std::string::npos);
    FreeLibrary(program);
}

TEST_F(InstallerProgram, InstallPerMachine)
{
    root = HKEY_LOCAL_MACHINE;
    make_package(4, L"v1");
    ASSERT_EQ(run(L"-silent -machine"), 0u);
    expect_installed("application version 1\r\n");
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, entry()));
    ASSERT_EQ(run(L"-uninstall -silent"), 0u);
    expect_removed();
}

TEST_F(InstallerProgram, UpgradeReplacesFilesAndKeepsFeatureStates)
{
    make_package(4, L"v1");
    ASSERT_EQ(run(L"-silent"), 0u);
    make_package(5, L"v2");
    ASSERT_EQ(run(L"-silent"), 0u);
    expect_installed("application version 2\r\n");
    EXPECT_EQ(Ostrel::registry_ex::value(root, entry(), L"Quvan Setup Prop: VERSION").get_qword(), 0x0001000200030005ull);
    EXPECT_EQ(text_of(app + L"\\stub.log"), "0- 1- 2- "); // the service stopped and started around the files

    // The same version again is a modification, which a silent run without a window leaves alone.
    ASSERT_EQ(run(L"-silent"), 0u);
    EXPECT_EQ(text_of(app + L"\\stub.log"), "0- 1- 2- ");
}

TEST_F(InstallerProgram, FailedInstallPutsEverythingBack)
{
    make_package(4, L"v1");
    test_support::make_folder(app);
    test_support::write_file(app + L"\\fail.marker", test_support::to_bytes("x")); // the export fails
    EXPECT_EQ(run(L"-silent"), 4u);
    EXPECT_EQ(test_support::list_files(app), (std::vector<std::wstring>{L"fail.marker", L"stub.log"}));
    EXPECT_FALSE(exists(app + L"\\Setup"));
    EXPECT_FALSE(exists(menu));
    EXPECT_FALSE(key_exists(root, entry()));
    EXPECT_FALSE(key_exists(HKEY_CURRENT_USER, L"Software\\Classes\\CLSID\\" + clsid));
    const std::wstring log = wide_text_of(log_path());
    EXPECT_NE(log.find(L"*** Non-transaction rollback"), std::wstring::npos) << std::string(log.begin(), log.end());
}

TEST_F(InstallerProgram, FailedUpgradeKeepsTheInstalledVersion)
{
    make_package(4, L"v1");
    ASSERT_EQ(run(L"-silent"), 0u);
    make_package(5, L"v2", L"missing.txt"); // an entry the archive does not hold
    EXPECT_EQ(run(L"-silent"), 4u);
    expect_installed("application version 1\r\n");
    EXPECT_EQ(Ostrel::registry_ex::value(root, entry(), L"Quvan Setup Prop: VERSION").get_qword(), 0x0001000200030004ull);
    EXPECT_NE(wide_text_of(log_path()).find(L"*** Non-transaction rollback"), std::wstring::npos);
}

TEST_F(InstallerProgram, LockedFileEndsWithoutLog)
{
    make_package(4, L"v1");
    ASSERT_EQ(run(L"-silent"), 0u);
    make_package(5, L"v2");
    HANDLE held = CreateFileW((app + L"\\app.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    EXPECT_EQ(run(L"-silent"), 4u);
    CloseHandle(held);
    EXPECT_FALSE(exists(log_path()));
    expect_installed("application version 1\r\n");
}

TEST_F(InstallerProgram, UninstallOfAProductThatIsNotInstalledTouchesNothing)
{
    make_package(4, L"v1");
    test_support::make_folder(app);
    test_support::write_file(app + L"\\app.txt", test_support::to_bytes("mine"));
    EXPECT_EQ(run(L"-uninstall -silent"), 4u);
    EXPECT_EQ(text_of(app + L"\\app.txt"), "mine");
    EXPECT_NE(wide_text_of(log_path()).find(L"0x80070057"), std::wstring::npos);
}

TEST_F(InstallerProgram, TheWorkingCopyWaitsForTheProcessGivenToTheLauncher)
{
    make_package(4, L"v1");
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    const std::wstring handle = std::to_wstring(reinterpret_cast<std::uintptr_t>(event));
    run_launcher(package + L"\\setup.exe", L"-silent --allow-parallel --wait-process " + handle, true, [&] {
        Sleep(1500);
        EXPECT_FALSE(exists(app + L"\\app.txt")) << "the copy did not wait";
        SetEvent(event);
    });
    CloseHandle(event);
    expect_installed("application version 1\r\n");
}

TEST_F(InstallerProgram, TheWorkingCopyGivesUpOnAProcessThatDoesNotEnd)
{
    make_package(4, L"v1");
    SECURITY_ATTRIBUTES inheritable{sizeof(inheritable), nullptr, TRUE};
    HANDLE event = CreateEventW(&inheritable, TRUE, FALSE, nullptr);
    ASSERT_NE(event, nullptr);
    SetEnvironmentVariableW(L"TOLVANE_TEST_WAIT_PROCESS_MS", L"500"); // in place of the minute
    const std::wstring handle = std::to_wstring(reinterpret_cast<std::uintptr_t>(event));
    EXPECT_EQ(run(L"-silent --wait-process " + handle, {}, true), 0xFFFFFFFFu);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
    EXPECT_FALSE(exists(app));
    EXPECT_FALSE(key_exists(root, entry()));
}

TEST_F(InstallerProgram, APendingRebootEndsTheRunBeforeAnything)
{
    make_package(4, L"v1");
    // A marker of this session (as a run that left files for the restart writes it).
    ASSERT_TRUE(tolvane::write_pending_reboot(tolvane::get_boot_time()));
    EXPECT_EQ(run(L"-silent"), 6u);
    EXPECT_FALSE(exists(app));
    EXPECT_FALSE(key_exists(root, entry()));
    EXPECT_FALSE(exists(log_path()));

    // A marker of an earlier session: the restart has happened.
    ASSERT_TRUE(tolvane::write_pending_reboot(tolvane::get_boot_time() - 3600ull * 10'000'000));
    ASSERT_EQ(run(L"-silent"), 0u);
    expect_installed("application version 1\r\n");
}

TEST_F(InstallerProgram, IncompatibleProductIsRemovedFirst)
{
    make_package(4, L"v1");
    ASSERT_EQ(run(L"-silent"), 0u);

    // Another product in folders of its own, which this one declares incompatible.
    const std::wstring ours_id = app_id, ours_app = app, ours_menu = menu, ours_clsid = clsid;
    app_id += L"-other";
    app = dir / L"other";
    menu = dir / L"othermenu";
    clsid[1] = L'8';
    make_package(4, L"v1");
    ASSERT_EQ(run(L"-silent"), 0u);
    const std::wstring other_id = app_id, other_app = app, other_clsid = clsid;
    expect_installed("application version 1\r\n");
    Ostrel::registry_ex::value quiet(root, entry(), L"QuietUninstallString", false);
    quiet.set_string(quiet.get_string() + L" --allow-parallel");

    app_id = ours_id, app = ours_app, menu = ours_menu, clsid = ours_clsid;
    make_package(5, L"v2");
    // Our own entry exists (an upgrade): only the removed product's entry decides.
    ASSERT_EQ(run(L"-silent --prop \"RemoveAppIDs=NotInstalledAnywhere," + other_id + L"\""), 0u);
    expect_installed("application version 2\r\n");
    EXPECT_FALSE(key_exists(root, uninstall_base + other_id));
    EXPECT_FALSE(exists(other_app + L"\\app.txt"));
    EXPECT_EQ(text_of(other_app + L"\\stub.log"), "0- 3- ");
    RegDeleteTreeW(HKEY_CURRENT_USER, (L"Software\\Classes\\CLSID\\" + other_clsid).c_str());
}

TEST_F(InstallerProgram, BadPackagesEndWithTheirErrorInTheLog)
{
    // No config.ini at all.
    EXPECT_EQ(run(L"-silent"), 4u);
    EXPECT_NE(wide_text_of(log_path()).find(L"0x80070002"), std::wstring::npos);

    // A package without [General]: the start-up fails after its checks passed, and the run ends.
    test_support::write_file(package + L"\\config.ini",
                             test_support::to_bytes("[Configuration]\r\nAppID=" + std::string(app_id.begin(), app_id.end())
                                                    + "\r\nINSTALLDIR_USER=C:\\x\\\r\n"));
    EXPECT_EQ(run(L"-silent"), 4u);
    EXPECT_NE(wide_text_of(log_path()).find(L"0x80070490"), std::wstring::npos);

    // A hostile archive: nothing outside the extraction folder, nothing installed.
    make_package(4, L"hostile");
    EXPECT_EQ(run(L"-silent"), 4u);
    EXPECT_FALSE(exists(dir / L"evil.txt"));
    EXPECT_FALSE(exists(temp + L"\\evil.txt"));
    EXPECT_NE(wide_text_of(log_path()).find(L"evil.txt"), std::wstring::npos);
    EXPECT_FALSE(key_exists(root, entry()));
}

} // namespace
