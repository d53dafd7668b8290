// The installer with its window as real processes (the test host: the program over the test
// platform), driven by posted clicks: a per-user install in the window's process, and a per-machine
// install by a standard user, which runs in a copy started with "--server" that drives the window
// over the pipe. Checked by the files the installation leaves and the exit codes.

#include "window_host.h"

#include <testing/support/child_process.h>
#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

namespace {

using namespace ui_tests;

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

bool exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::string read_text(const std::wstring& path)
{
    if (!exists(path))
        return {};
    auto b = test_support::read_file(path);
    return std::string(reinterpret_cast<const char*>(b.data()), b.size());
}

class UiProgram : public ::testing::Test {
protected:
    test_support::temp_folder dir;
    std::wstring app_id = L"TolvaneUiTest-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(GetTickCount64());
    std::wstring package = dir / L"pkg";
    std::wstring temp = dir / L"temp";
    std::wstring app = dir / L"app";
    std::wstring chosen = dir / L"chosen";
    std::wstring log = dir / L"host.log";
    PROCESS_INFORMATION process{};

    void SetUp() override
    {
        test_support::make_folder(package);
        test_support::make_folder(temp);
        for (const wchar_t* name : {L"icon.png", L"setup.exe"})
            ASSERT_TRUE(CopyFileW((bin_folder() + L"\\tolvane_package\\" + name).c_str(), (package + L"\\" + name).c_str(),
                                  FALSE));
        std::wstring ini = L"[Configuration]\r\nSourceID=" + std::wstring(source_id) +
                           L"\r\nMAJOR=1\r\nMINOR=2\r\nREVISION=3\r\nBUILD=4\r\nAppID=" + app_id +
                           L"\r\nLongName=Tolvane UI Test\r\nProductName=Tolvane UI Test\r\nShortCompany=Quvan\r\n"
                           L"INSTALLDIR_USER=" + app + L"\\\r\nINSTALLDIR_MACHINE=" + app + L"\\\r\n"
                           L"[General]\r\ncomponents=core,docs\r\n"
                           L"[Component_core]\r\nf1=app.txt*0\r\nf2=data.bin*0\r\nversion=1.2.3.4\r\n"
                           L"[Component_docs]\r\nf1=manual.txt*0\r\n"
                           L"[Feature_root]\r\ncomponents=core\r\nchildren=main,docs\r\n"
                           L"[Feature_main]\r\nid=" + main_feature + L"\r\nselected=1\r\n"
                           L"[Feature_docs]\r\nid=" + docs_feature + L"\r\nselected=0\r\ncomponents=docs\r\n";
        std::string bytes = "\xFF\xFE";
        bytes.append(reinterpret_cast<const char*>(ini.data()), ini.size() * sizeof(wchar_t));
        test_support::write_file(package + L"\\config.ini", test_support::to_bytes(bytes));
        ASSERT_TRUE(CopyFileW((bin_folder() + L"\\tolvane_package\\v1.7z").c_str(),
                              (package + L"\\" + source_id + L".7z").c_str(), FALSE));
    }
    void TearDown() override
    {
        if (process.hProcess) {
            if (WaitForSingleObject(process.hProcess, 0) != WAIT_OBJECT_0)
                TerminateProcess(process.hProcess, 99);
            CloseHandle(process.hProcess);
            CloseHandle(process.hThread);
        }
        for (HKEY r : {HKEY_CURRENT_USER, HKEY_LOCAL_MACHINE})
            RegDeleteTreeW(r, (uninstall_base + app_id).c_str());
    }

    std::wstring environment()
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
        for (const std::wstring& pair : {L"TEMP=" + temp, L"TMP=" + temp, std::wstring(L"QUVAN-RAVELWIN3-ISCOPY=YES"),
                                         L"QUVAN-RAVELWIN3-ARCHIVE_DIR=" + package, L"TOLVANE_UI_HOST_LOG=" + log}) {
            block += pair;
            block += L'\0';
        }
        block += L'\0';
        return block;
    }

    // Starts the host and returns its window once shown.
    HWND start(const std::wstring& arguments)
    {
        // Without the installer mutex: the tests run beside each other and beside the engine's.
        std::wstring line = L"\"" + bin_folder() + L"\\tolvane_ui_host.exe\" --allow-parallel " + arguments;
        std::wstring env = environment();
        STARTUPINFOW si{};
        si.cb = sizeof(si);
        EXPECT_TRUE(test_support::create_process(nullptr, line.data(), FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                                                 nullptr, &si, &process));
        HWND found = nullptr;
        wait_until([&] { return (found = process_window_ending(process.dwProcessId, L"Setup Package")) != nullptr; },
                   60000);
        return found;
    }
    DWORD finish()
    {
        EXPECT_EQ(WaitForSingleObject(process.hProcess, 120000), WAIT_OBJECT_0);
        DWORD code = 0xDEAD;
        GetExitCodeProcess(process.hProcess, &code);
        return code;
    }
    // The completion page is there when its Close button is.
    std::wstring setup_log()
    {
        auto b = test_support::read_file(temp + L"\\Quvan Setup Log.txt");
        if (b.size() < 2)
            return {};
        return std::wstring(reinterpret_cast<const wchar_t*>(b.data() + 2), (b.size() - 2) / 2);
    }
    bool completed(HWND w, int ms = 120000)
    {
        return wait_until([&] { return GetDlgItem(w, 1035) != nullptr; }, ms);
    }
    HWND shown_dialog(const wchar_t* title)
    {
        HWND d = nullptr;
        wait_until([&] { return (d = find_shown_dialog(title, process.dwProcessId)) != nullptr; }, 30000);
        return d;
    }
};

} // namespace

TEST_F(UiProgram, PerUserInstallByClicksLeavesTheUncheckedFeatureOut)
{
    HWND w = start(L"");
    ASSERT_TRUE(w);
    EXPECT_EQ(window_text(w), L"Quvan Tolvane UI Test Setup Package");
    save_screenshot(w, L"install-page");
    PostMessageW(w, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(completed(w));
    save_screenshot(w, L"completion-page");
    const std::wstring failure = exists(temp + L"\\Quvan Setup Log.txt") ? setup_log() : std::wstring();
    EXPECT_TRUE(exists(app + L"\\app.txt")) << read_text(log) << std::string(failure.begin(), failure.end());
    EXPECT_TRUE(exists(app + L"\\data.bin"));
    EXPECT_FALSE(exists(app + L"\\manual.txt"));
    // Close with the launch box unchecked (nothing to run).
    SendMessageW(GetDlgItem(w, 1026), BM_SETCHECK, BST_UNCHECKED, 0);
    SendMessageW(GetDlgItem(w, 1027), BM_SETCHECK, BST_UNCHECKED, 0);
    PostMessageW(w, WM_COMMAND, 1035, 0);
    EXPECT_EQ(finish(), 0u);
}

TEST_F(UiProgram, ClosingBeforeInstallingEndsWithNine)
{
    HWND w = start(L"");
    ASSERT_TRUE(w);
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(finish(), 9u);
    EXPECT_FALSE(exists(app + L"\\app.txt"));
}

TEST_F(UiProgram, PerMachineInstallRunsInTheCopyWithTheFolderAndFeaturesChosenInTheWindow)
{
    HWND w = start(L"-machine");
    ASSERT_TRUE(w);
    PostMessageW(w, WM_COMMAND, 1031, 0);
    HWND customize = shown_dialog(L"Customize Installation");
    ASSERT_TRUE(customize);
    SendMessageW(GetDlgItem(customize, 1005), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(chosen.c_str()));
    save_screenshot(customize, L"customize-install-form");
    // The docs feature (second item) checked with the space bar.
    HWND tree = GetDlgItem(customize, 1007);
    HTREEITEM first = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_ROOT, 0));
    HTREEITEM second = reinterpret_cast<HTREEITEM>(SendMessageW(tree, TVM_GETNEXTITEM, TVGN_NEXT, reinterpret_cast<LPARAM>(first)));
    ASSERT_TRUE(second);
    SendMessageW(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(second));
    PostMessageW(tree, WM_KEYDOWN, VK_SPACE, 0);
    Sleep(300);
    PostMessageW(customize, WM_COMMAND, IDOK, 0);
    ASSERT_TRUE(completed(w));
    const std::string host_log = read_text(log);
    const std::wstring failure = exists(temp + L"\\Quvan Setup Log.txt") ? setup_log() : std::wstring();
    EXPECT_NE(host_log.find("exit 0 copy"), std::string::npos) << host_log << std::string(failure.begin(), failure.end());
    EXPECT_TRUE(exists(chosen + L"\\app.txt")) << host_log;
    EXPECT_TRUE(exists(chosen + L"\\manual.txt")) << host_log;
    EXPECT_FALSE(exists(app + L"\\app.txt"));
    PostMessageW(w, WM_COMMAND, 1035, 0);
    EXPECT_EQ(finish(), 0u);
}

TEST_F(UiProgram, CancellingThePerMachineRunRollsTheCopyBackAndClosesTheWindow)
{
    HWND w = start(L"-machine");
    ASSERT_TRUE(w);
    // Posted together: the cancel is there before the copy reports its first progress.
    PostMessageW(w, WM_COMMAND, IDOK, 0);
    PostMessageW(w, WM_CLOSE, 0, 0);
    EXPECT_EQ(finish(), 0u);
    const std::string host_log = read_text(log);
    // The copy ends as cancelled, and the window closes instead of showing a failure.
    EXPECT_NE(host_log.find("exit 9 copy"), std::string::npos) << host_log;
    EXPECT_NE(host_log.find("exit 0 window"), std::string::npos) << host_log;
    EXPECT_FALSE(exists(app + L"\\app.txt"));
}

TEST_F(UiProgram, ACopyWhosePipeIsMissingEndsWithFour)
{
    std::wstring line = L"\"" + bin_folder() + L"\\tolvane_ui_host.exe\" -machine -silent --allow-error --type 1 --server "
                        L"{00000000-1111-2222-3333-444444444444} --source \"" + package + L"\"";
    std::wstring env = environment();
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    ASSERT_TRUE(test_support::create_process(nullptr, line.data(), FALSE, CREATE_UNICODE_ENVIRONMENT, env.data(),
                                             nullptr, &si, &process));
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(finish(), 4u);
    // A missing pipe is reported at once, not after three waits.
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(14));
    EXPECT_FALSE(exists(app + L"\\app.txt"));
}
