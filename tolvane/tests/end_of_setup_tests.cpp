// The continuation dialog as a real window: a driver thread finds it among the test thread's
// windows, reads its text and buttons and presses one; the confirmation and the log-off or restart
// are answered by a recording platform.

#include <gtest/gtest.h>

#include <ostrel/registry_ex.h>
#include <tolvane/end_of_setup.h>
#include <tolvane/launcher.h>
#include <tolvane/setup_platform.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include <windows.h>

namespace {

using namespace tolvane;

constexpr wchar_t run_once_key[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\RunOnce";

class recording_platform : public setup_platform {
public:
    int answer = IDYES;
    std::vector<std::wstring> questions;
    std::vector<std::pair<UINT, DWORD>> exits;

    int message_box(HWND, const std::wstring& text, const std::wstring& caption, UINT flags) override
    {
        questions.push_back(caption + L"|" + text + L"|" + std::to_wstring(flags));
        return answer;
    }
    BOOL exit_windows(UINT flags, DWORD reason) override
    {
        exits.emplace_back(flags, reason);
        return TRUE;
    }
};

struct seen_dialog {
    std::wstring caption;
    std::vector<std::wstring> texts;        // the static controls
    std::map<int, std::wstring> buttons;    // by id
};

std::wstring window_text(HWND w)
{
    wchar_t text[512];
    const int n = GetWindowTextW(w, text, 512);
    return std::wstring(text, n > 0 ? n : 0);
}

// Waits for a dialog of `thread`, records it and presses `button`.
void drive(DWORD thread, int button, seen_dialog& seen)
{
    HWND dialog = nullptr;
    for (int i = 0; i < 1000 && !dialog; ++i) {
        EnumThreadWindows(
            thread,
            [](HWND w, LPARAM found) -> BOOL {
                wchar_t name[16];
                if (IsWindowVisible(w) && GetClassNameW(w, name, 16) && std::wstring_view(name) == L"#32770") {
                    *reinterpret_cast<HWND*>(found) = w;
                    return FALSE;
                }
                return TRUE;
            },
            reinterpret_cast<LPARAM>(&dialog));
        if (!dialog)
            Sleep(10);
    }
    if (!dialog)
        return;
    seen.caption = window_text(dialog);
    for (HWND child = GetWindow(dialog, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        wchar_t name[16];
        GetClassNameW(child, name, 16);
        if (_wcsicmp(name, L"Static") == 0)
            seen.texts.push_back(window_text(child));
        else if (_wcsicmp(name, L"Button") == 0)
            seen.buttons[GetDlgCtrlID(child)] = window_text(child);
    }
    PostMessageW(dialog, WM_COMMAND, MAKEWPARAM(button, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, button)));
}

// The RunOnce values whose text is `text`; removed when `remove`.
int run_once_values_of(const std::wstring& text, bool remove)
{
    HKEY key;
    if (RegOpenKeyExW(HKEY_CURRENT_USER, run_once_key, 0, KEY_READ | KEY_WRITE, &key) != ERROR_SUCCESS)
        return 0;
    std::vector<std::wstring> names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD length = 256;
        if (RegEnumValueW(key, i, name, &length, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS)
            break;
        if (Ostrel::registry_ex::value(key, name).get_string() == text)
            names.push_back(name);
    }
    if (remove)
        for (const std::wstring& n : names)
            RegDeleteValueW(key, n.c_str());
    RegCloseKey(key);
    return static_cast<int>(names.size());
}

TEST(ContinueDialog, ItsChoiceReachesTheLogOffOrRestart)
{
    const std::wstring launcher = L"\"C:\\Tolvane test " + std::to_wstring(GetCurrentProcessId())
                                  + L"\\setup.exe\" -silent";
    SetEnvironmentVariableW(marker_launcher, launcher.c_str());

    struct dialog_case {
        int button;
        int answer;                                   // of the confirmation
        const wchar_t* question;                      // none when the dialog was quit
        std::vector<std::pair<UINT, DWORD>> exits;
    };
    const dialog_case cases[] = {
        {continue_after_logoff, IDYES, L"Do you want to log off now?", {{EWX_LOGOFF, planned_upgrade_reason}}},
        {continue_after_restart, IDYES, L"Do you want to restart now?", {{EWX_REBOOT, planned_upgrade_reason}}},
        {continue_after_restart, IDNO, L"Do you want to restart now?", {}},
        {IDCANCEL, IDYES, nullptr, {}},
    };
    for (const dialog_case& c : cases) {
        SCOPED_TRACE(c.button * 10 + c.answer);
        recording_platform platform;
        platform.answer = c.answer;
        seen_dialog seen;
        std::thread driver(drive, GetCurrentThreadId(), c.button, std::ref(seen));
        prompt_continue_after_reboot(platform, nullptr);
        driver.join();

        EXPECT_EQ(seen.caption, L"Setup Error");
        EXPECT_EQ(seen.texts, (std::vector<std::wstring>{L"Setup was unable to update some locked files. Setup cannot "
                                                          L"continue. Choose one of the options below:"}));
        EXPECT_EQ(seen.buttons, (std::map<int, std::wstring>{{continue_after_logoff, L"Continue Setup after log off"},
                                                             {continue_after_restart, L"Continue Setup after restart"},
                                                             {IDCANCEL, L"Quit Setup"}}));
        if (c.question) {
            EXPECT_EQ(platform.questions, (std::vector<std::wstring>{L"Setup Error|" + std::wstring(c.question) + L"|"
                                                                     + std::to_wstring(MB_YESNO | MB_ICONQUESTION)}));
        } else {
            EXPECT_TRUE(platform.questions.empty());
        }
        EXPECT_EQ(platform.exits, c.exits);
        // A continuation runs the launcher once at the next log-on, whatever the confirmation.
        EXPECT_EQ(run_once_values_of(launcher, true), c.question ? 1 : 0);
    }
    SetEnvironmentVariableW(marker_launcher, nullptr);
}

} // namespace
