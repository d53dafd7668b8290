// Tests that change the prefix's machine-wide state (the classes root, the service manager): they
// share one CTest resource lock and leave the prefix as they found it.
#include "fake_shell_items.h"
#include "loaded_quastle.h"

#include <quastle/install/install_actions.h>
#include <quastle/install/system_platform.h>
#include <quastle/self_install_callback.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

namespace {

using namespace quastle::testing;
using Ostrel::com::ptr;

// Per machine, as the installer registers it (Wine's HKCR is HKLM's classes), then cleaned away.
TEST(ClassesRoot, RegistersAndCreatesThroughCom)
{
    auto& dll = quastle_dll();
    ASSERT_EQ(dll.register_server(), S_OK);
    ASSERT_GE(CoInitializeEx(nullptr, COINIT_MULTITHREADED), 0);
    {
        IExplorerCommand* raw = nullptr;
        ASSERT_EQ(CoCreateInstance(quastle::explorer_command_clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IExplorerCommand,
                                   reinterpret_cast<void**>(&raw)),
                  S_OK);
        auto command = ptr<IExplorerCommand>::adopt(raw);
        LPWSTR title = nullptr;
        EXPECT_EQ(command->GetTitle(nullptr, &title), S_OK);
        EXPECT_STREQ(title, L"Create Deduplicated Folder");
        CoTaskMemFree(title);
    }
    CoUninitialize();
    EXPECT_EQ(dll.unregister_server(), S_OK);
    const std::wstring clsid = std::wstring(L"CLSID\\") + quastle::explorer_command_clsid_text;
    HKEY key = nullptr;
    EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, clsid.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_NE(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Directory\\shell\\quvandedup", 0, KEY_READ, &key), ERROR_SUCCESS);
    EXPECT_EQ(RegOpenKeyExW(HKEY_CLASSES_ROOT, L"Directory\\shell", 0, KEY_READ, &key), ERROR_SUCCESS);
    RegCloseKey(key);
}

struct busy_counter : quastle::self_install_callback {
    int calls = 0;
    void set_busy(bool busy) override { calls += busy ? 1 : 100; }
};

using auto_install_function = HRESULT(STDAPICALLTYPE*)(const wchar_t*, std::int32_t, HANDLE, const wchar_t*, HWND,
                                                        std::uint32_t, quastle::self_install_callback*);

DWORD service_state()
{
    const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = OpenServiceW(manager, L"quvandedup", SERVICE_QUERY_STATUS);
    SERVICE_STATUS status{};
    const DWORD state = service && QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return state;
}

bool wait_for_state(DWORD wanted)
{
    for (int i = 0; i < 200; ++i) {
        if (service_state() == wanted)
            return true;
        Sleep(50);
    }
    return false;
}

std::wstring read_text(const std::wstring& path)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return {};
    std::wstring text(8192, L'\0');
    DWORD read = 0;
    ReadFile(file, text.data(), static_cast<DWORD>(text.size() * sizeof(wchar_t)), &read, nullptr);
    CloseHandle(file);
    text.resize(read / sizeof(wchar_t));
    return text;
}

void write_knob(const std::wstring& path, const char* text)
{
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, text, static_cast<DWORD>(strlen(text)), &written, nullptr);
    CloseHandle(file);
}

// The service's whole life through the export and the real service manager, installed in a folder
// with a blank whose unquoted prefix names a planted program.
TEST(ServiceManager, InstallStopStartUninstall)
{
    auto& dll = quastle_dll();
    const auto install = reinterpret_cast<auto_install_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW((dll.folder() + L"quastle.dll").c_str()), "AutoInstallEx3")));
    ASSERT_NE(install, nullptr);

    std::wstring temp(MAX_PATH + 1, L'\0');
    temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
    std::wstring exe(32768, L'\0');
    exe.resize(GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())));
    const std::wstring ebrisk = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"ebrisk.exe";
    const std::wstring stem = L"qprobe" + std::to_wstring(GetCurrentProcessId());
    const std::wstring outer = temp + stem + L" dir";
    const std::wstring folder = outer + L"\\X";
    const std::wstring decoy = temp + stem + L".exe";
    CreateDirectoryW(outer.c_str(), nullptr);
    CreateDirectoryW(folder.c_str(), nullptr);
    // The prefix is left clean however the test ends: no service, no files.
    struct cleanup {
        auto_install_function install;
        std::wstring folder, outer, decoy, temp;
        ~cleanup()
        {
            install(folder.c_str(), 3, nullptr, nullptr, nullptr, 0, nullptr);
            for (const std::wstring& file : {decoy, folder + L"\\ebrisk.log", folder + L"\\ebrisk.knob", temp + L"ebrisk.log"})
                DeleteFileW(file.c_str());
            for (int i = 0; i < 100 && !DeleteFileW((folder + L"\\ebrisk.exe").c_str()); ++i)
                Sleep(50);
            RemoveDirectoryW(folder.c_str());
            RemoveDirectoryW(outer.c_str());
        }
    } leave_clean{install, folder, outer, decoy, temp};
    ASSERT_TRUE(CopyFileW(ebrisk.c_str(), (folder + L"\\ebrisk.exe").c_str(), FALSE));
    ASSERT_TRUE(CopyFileW(ebrisk.c_str(), decoy.c_str(), FALSE));

    // Bad folders change nothing.
    for (const wchar_t* bad : {static_cast<const wchar_t*>(nullptr), L"", L"relative\\X", L"C:\\a\"b"})
        EXPECT_EQ(install(bad, 0, nullptr, nullptr, nullptr, 1, nullptr), E_INVALIDARG);
    EXPECT_EQ(service_state(), 0u);

    busy_counter busy;
    ASSERT_EQ(install((folder + L"\\").c_str(), 0, nullptr, nullptr, nullptr, 1, &busy), S_OK);
    // Wine has no Projected File System: its PowerShell stand-in ran, announced once.
    EXPECT_EQ(busy.calls, 1);
    {
        const SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        const SC_HANDLE service = OpenServiceW(manager, L"quvandedup", SERVICE_QUERY_CONFIG);
        ASSERT_NE(service, nullptr);
        std::vector<BYTE> buffer(8192);
        DWORD needed = 0;
        ASSERT_TRUE(QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data()),
                                        static_cast<DWORD>(buffer.size()), &needed));
        const auto* config = reinterpret_cast<QUERY_SERVICE_CONFIGW*>(buffer.data());
        EXPECT_EQ(std::wstring(config->lpBinaryPathName), L"\"" + folder + L"\\ebrisk.exe\"");
        EXPECT_EQ(config->dwServiceType, static_cast<DWORD>(SERVICE_WIN32_OWN_PROCESS));
        EXPECT_EQ(config->dwStartType, static_cast<DWORD>(SERVICE_AUTO_START));
        EXPECT_EQ(config->dwErrorControl, static_cast<DWORD>(SERVICE_ERROR_NORMAL));
        EXPECT_EQ(std::wstring(config->lpDisplayName), L"Quvan Software Folder Deduplication Service");
        ASSERT_TRUE(QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, buffer.data(),
                                         static_cast<DWORD>(buffer.size()), &needed));
        EXPECT_EQ(std::wstring(reinterpret_cast<SERVICE_DESCRIPTIONW*>(buffer.data())->lpDescription),
                  L"This service manages folder deduplication instances.");
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
    ASSERT_TRUE(wait_for_state(SERVICE_RUNNING));
    // The real program ran, not the planted one at the unquoted prefix.
    std::wstring log;
    for (int i = 0; i < 200 && log.empty(); ++i, Sleep(50))
        log = read_text(folder + L"\\ebrisk.log");
    EXPECT_EQ(log, folder + L"\\ebrisk.exe\n");
    EXPECT_EQ(read_text(temp + L"ebrisk.log").find(decoy), std::wstring::npos);

    EXPECT_EQ(install(folder.c_str(), 0, nullptr, nullptr, nullptr, 1, nullptr), static_cast<HRESULT>(0x800700B7));

    EXPECT_EQ(install(folder.c_str(), 1, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED));
    // Stopping a stopped service: no wait, S_OK.
    EXPECT_EQ(install(folder.c_str(), 1, nullptr, nullptr, nullptr, 0, nullptr), S_OK);

    EXPECT_EQ(install(folder.c_str(), 2, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
    ASSERT_TRUE(wait_for_state(SERVICE_RUNNING));
    // A slow stop is waited for.
    write_knob(folder + L"\\ebrisk.knob", "1500");
    EXPECT_EQ(install(folder.c_str(), 1, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOPPED));
    DeleteFileW((folder + L"\\ebrisk.knob").c_str());

    EXPECT_EQ(install(folder.c_str(), 2, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
    ASSERT_TRUE(wait_for_state(SERVICE_RUNNING));
    EXPECT_EQ(install(folder.c_str(), 3, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(service_state(), 0u);
    // A product whose service is gone can still be uninstalled.
    EXPECT_EQ(install(folder.c_str(), 3, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(install(folder.c_str(), 1, nullptr, nullptr, nullptr, 0, nullptr), static_cast<HRESULT>(0x80070424));
    EXPECT_EQ(install(folder.c_str(), 2, nullptr, nullptr, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(install(folder.c_str(), 7, nullptr, nullptr, nullptr, 0, nullptr), E_FAIL);

}

// The real system, except that it says it is Windows 11.
struct windows_11_system : quastle::system_platform {
    bool windows_11() override { return true; }
};

// Wine has no package manager: the real package layer fails the install before the service exists.
TEST(ServiceManager, PackageLayerWithoutThePackageManager)
{
    std::wstring temp(MAX_PATH + 1, L'\0');
    temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
    const std::wstring folder = temp + L"qpackage " + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(folder.c_str(), nullptr);
    struct cleanup {
        std::wstring folder;
        ~cleanup()
        {
            quastle::system_platform platform;
            quastle::install_actions(platform, folder).run(3, nullptr, 0, nullptr);
            RemoveDirectoryW(folder.c_str());
        }
    } leave_clean{folder};

    windows_11_system platform;
    quastle::install_actions actions(platform, folder);
    EXPECT_EQ(actions.run(0, nullptr, 1, nullptr), E_FAIL);
    EXPECT_EQ(service_state(), 0u);
}

std::wstring temp_folder()
{
    std::wstring temp(MAX_PATH + 1, L'\0');
    temp.resize(GetTempPathW(static_cast<DWORD>(temp.size()), temp.data()));
    return temp;
}

// A stop that never ends is given up after the wait's bound with ERROR_SERVICE_REQUEST_TIMEOUT,
// and the service stays as it is.
TEST(ServiceManager, StopThatNeverEndsIsBounded)
{
    std::wstring exe(32768, L'\0');
    exe.resize(GetModuleFileNameW(nullptr, exe.data(), static_cast<DWORD>(exe.size())));
    const std::wstring ebrisk = exe.substr(0, exe.find_last_of(L'\\') + 1) + L"ebrisk.exe";
    const std::wstring folder = temp_folder() + L"qnever " + std::to_wstring(GetCurrentProcessId());
    const std::wstring knob = folder + L"\\ebrisk.knob";
    CreateDirectoryW(folder.c_str(), nullptr);
    struct cleanup {
        std::wstring folder, knob;
        ~cleanup()
        {
            DeleteFileW(knob.c_str());
            quastle::system_platform platform;
            quastle::install_actions(platform, folder).run(3, nullptr, 0, nullptr);
            DeleteFileW((folder + L"\\ebrisk.log").c_str());
            for (int i = 0; i < 100 && !DeleteFileW((folder + L"\\ebrisk.exe").c_str()); ++i)
                Sleep(50);
            RemoveDirectoryW(folder.c_str());
        }
    } leave_clean{folder, knob};
    ASSERT_TRUE(CopyFileW(ebrisk.c_str(), (folder + L"\\ebrisk.exe").c_str(), FALSE));

    quastle::system_platform platform;
    quastle::install_actions actions(platform, folder, std::chrono::milliseconds(1500));
    ASSERT_EQ(actions.run(0, nullptr, 1, nullptr), S_OK);
    ASSERT_TRUE(wait_for_state(SERVICE_RUNNING));
    write_knob(knob, "never");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(actions.run(1, nullptr, 0, nullptr), static_cast<HRESULT>(0x8007041D));
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1500));
    EXPECT_EQ(service_state(), static_cast<DWORD>(SERVICE_STOP_PENDING));

    // Once the knob lets it, the service stops and the product uninstalls.
    DeleteFileW(knob.c_str());
    EXPECT_TRUE(wait_for_state(SERVICE_STOPPED));
    EXPECT_EQ(actions.run(3, nullptr, 0, nullptr), S_OK);
    EXPECT_EQ(service_state(), 0u);
}

// Finds the question box of the calling process's install, checks it, and presses Cancel.
struct question_box_answer {
    bool found = false;
    std::wstring text;
    std::wstring ok;
    std::wstring cancel;
};

question_box_answer cancel_question_box()
{
    question_box_answer answer;
    for (int i = 0; i < 400 && !answer.found; ++i) {
        // Only this process's box: another test program may show one with the same caption.
        HWND box = nullptr;
        for (HWND w = nullptr; (w = FindWindowExW(nullptr, w, L"#32770", L"Quvan Software Tovalind Setup"));) {
            DWORD process = 0;
            GetWindowThreadProcessId(w, &process);
            if (process == GetCurrentProcessId())
                box = w;
        }
        if (!box || !IsWindowVisible(box)) {
            Sleep(25);
            continue;
        }
        answer.found = true;
        wchar_t text[1024] = {};
        GetDlgItemTextW(box, 0xFFFF, text, 1024); // the message box's text control
        answer.text = text;
        GetDlgItemTextW(box, IDOK, text, 1024);
        answer.ok = text;
        GetDlgItemTextW(box, IDCANCEL, text, 1024);
        answer.cancel = text;
        // Posted, as a click is: the box's own loop is running on the installing thread.
        PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                     reinterpret_cast<LPARAM>(GetDlgItem(box, IDCANCEL)));
    }
    return answer;
}

// Under Wine the Projected File System is missing, so an install that is not silent asks first; the
// real box shows the question, and Cancel ends the install with E_ABORT before anything changes.
TEST(QuestionBox, CancelEndsTheInstall)
{
    auto& dll = quastle_dll();
    const auto install = reinterpret_cast<auto_install_function>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW((dll.folder() + L"quastle.dll").c_str()), "AutoInstallEx3")));
    ASSERT_NE(install, nullptr);
    const std::wstring folder = temp_folder() + L"qquestion " + std::to_wstring(GetCurrentProcessId());

    std::thread watcher;
    question_box_answer answer;
    watcher = std::thread([&] { answer = cancel_question_box(); });
    busy_counter busy;
    const HRESULT hr = install(folder.c_str(), 0, nullptr, nullptr, nullptr, 0, &busy);
    watcher.join();
    if (hr == S_OK) // the box was never answered: leave the prefix clean
        install(folder.c_str(), 3, nullptr, nullptr, nullptr, 0, nullptr);

    ASSERT_TRUE(answer.found);
    EXPECT_EQ(answer.text,
              L"Quvan Software Tovalind requires an optional Windows component called Projected File System which is "
              L"currently missing. Setup will now enable Projected File System. Nothing will be downloaded during this "
              L"process.\n\nThis might take a few minutes. Press OK to continue and Cancel to cancel setup.");
    EXPECT_EQ(answer.ok, L"OK");
    EXPECT_EQ(answer.cancel, L"Cancel");
    EXPECT_EQ(hr, E_ABORT);
    EXPECT_EQ(busy.calls, 0);
    EXPECT_EQ(service_state(), 0u);
}

} // namespace
