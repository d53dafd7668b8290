#include "ui_driver.h"

#include <plendor/commands/about.h>

#include <ostrel/d2d/markup.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using namespace ui_test;
namespace fs = std::filesystem;

TEST(About, MainTextShowsTheVersionPaddedAndTheSiteAsALink)
{
    const auto parsed = Ostrel::d2d::parse_markup_ranges(about_main_text(L"Quvan Software Tovalind Beta", {1, 3, 0, 177}));
    EXPECT_NE(parsed.plain.find(L"Quvan Software Tovalind Beta\nVersion 1.03.00.0177\n\n"), std::wstring::npos) << parsed.plain;
    bool link_found = false;
    for (const auto& r : parsed.ranges)
        if (r.letter == L'h')
            link_found = parsed.plain.substr(r.start, r.length) == site_address;
    EXPECT_TRUE(link_found);
    EXPECT_TRUE(site_address.starts_with(L"https://"));
    EXPECT_TRUE(site_address.ends_with(L"/"));
    EXPECT_NE(about_main_text(L"T", {12, 34, 5, 6}).find(L"Version 12.34.05.0006"), std::wstring::npos);
}

TEST(About, HelpFileBesideTheProgram)
{
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    EXPECT_EQ(fs::path(help_file_path()), fs::path(exe).parent_path() / L"dedup.chm");
}

// The recorder of opened addresses: the stub program, set as the https open command of the prefix
// (the shell reads it from HKLM\Software\Classes), writes its command line to a log.
class UrlRecorder {
public:
    UrlRecorder()
    {
        // The open command is the prefix's, shared with the test processes running beside this one.
        lock_ = CreateMutexW(nullptr, FALSE, L"plendor-commands-tests-url-recorder");
        WaitForSingleObject(lock_, INFINITE);
        wchar_t exe[MAX_PATH];
        GetModuleFileNameW(nullptr, exe, MAX_PATH);
        const fs::path stub = fs::path(exe).parent_path() / L"plendor_stub_installer.exe";
        const std::wstring command = L"\"" + stub.wstring() + L"\" \"%1\"";
        RegCreateKeyExW(HKEY_LOCAL_MACHINE, L"Software\\Classes\\https\\shell\\open\\command", 0, nullptr, 0,
                        KEY_READ | KEY_WRITE, nullptr, &key_, nullptr);
        wchar_t old[2048];
        DWORD size = sizeof(old);
        DWORD type = 0;
        if (RegQueryValueExW(key_, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(old), &size) == ERROR_SUCCESS &&
            type == REG_SZ)
            old_ = std::wstring(old, size / sizeof(wchar_t)).c_str();
        RegSetValueExW(key_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(command.c_str()),
                       static_cast<DWORD>((command.size() + 1) * sizeof(wchar_t)));
        wchar_t temp[MAX_PATH];
        GetTempPathW(MAX_PATH, temp);
        log_ = fs::path(temp) / (L"url-log-" + std::to_wstring(GetCurrentProcessId()));
        fs::remove(log_);
        SetEnvironmentVariableW(L"PLENDOR_STUB_LOG", log_.c_str());
    }
    ~UrlRecorder()
    {
        SetEnvironmentVariableW(L"PLENDOR_STUB_LOG", nullptr);
        if (old_)
            RegSetValueExW(key_, nullptr, 0, REG_SZ, reinterpret_cast<const BYTE*>(old_->c_str()),
                           static_cast<DWORD>((old_->size() + 1) * sizeof(wchar_t)));
        else
            RegDeleteValueW(key_, nullptr);
        RegCloseKey(key_);
        std::error_code ignored;
        fs::remove(log_, ignored);
        ReleaseMutex(lock_);
        CloseHandle(lock_);
    }

    // The command line the recorder got, or empty when nothing came within the time.
    std::wstring wait_for_command_line(int ms = 10000)
    {
        if (!wait_until([&] { return fs::exists(log_) && fs::file_size(log_) > 0; }, ms))
            return {};
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::ifstream in(log_, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        const std::string bytes = s.str();
        std::wstring text(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
        return text.substr(0, text.find(L'\n'));
    }
    void clear() { fs::remove(log_); }

private:
    HANDLE lock_ = nullptr;
    HKEY key_ = nullptr;
    std::optional<std::wstring> old_;
    fs::path log_;
};

TEST(About, HelpWithoutTheHelpFileOpensTheOnlineTopic)
{
    UrlRecorder recorder;
    owner_window owner(100, 100, 400, 300);
    show_help(owner.get(), help_file_path(), L"introduction");
    const std::wstring command = recorder.wait_for_command_line();
    EXPECT_NE(command.find(L"https://www.quvan-software.com/online-doc/dedup/introduction"), std::wstring::npos) << command;
}

// A client point in the middle of a line of the main text.
POINT point_on_line(const about_dialog& box, UINT32 line, float x_dip)
{
    UINT32 count = 0;
    box.main_text().layout->GetLineMetrics(nullptr, 0, &count);
    std::vector<DWRITE_LINE_METRICS> lines(count);
    box.main_text().layout->GetLineMetrics(lines.data(), count, &count);
    float top = 0;
    for (UINT32 i = 0; i < line; ++i)
        top += lines[i].height;
    const float y = top + lines[line].height / 2;
    const float s = box.horizontal_scale;
    const D2D1_RECT_F place = box.text_place();
    return {static_cast<LONG>((place.left + x_dip) * s), static_cast<LONG>((place.top + y) * s)};
}

TEST(About, HandCursorOnlyOverTheLinkAndAClickOpensTheSite)
{
    UrlRecorder recorder;
    owner_window owner(100, 100, 700, 500);
    about_dialog box(L"About " + std::wstring(product_title), std::wstring(product_title));
    // Whether the cursor became the hand, and the dialog's own hit test, at each point.
    LRESULT over_link = -1, over_title = -1, over_logo = -1;
    std::vector<bool> hits;
    bool logo = false, version_line = false;
    std::wstring title, opened, opened_by_title_click;
    std::thread driver([&] {
        HWND d = wait_for_dialog(L"About Quvan Software Tovalind Beta");
        if (!d)
            return;
        title = window_text(d);
        logo = box.has_logo();
        UINT32 count = 0;
        box.main_text().layout->GetLineMetrics(nullptr, 0, &count);
        const POINT link = point_on_line(box, count - 1, 4);
        const POINT heading = point_on_line(box, 0, 4);
        const POINT logo_point{20, 20};
        AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(d, nullptr), TRUE);
        struct probe {
            POINT point;
            LRESULT* result;
            LRESULT expected;
        };
        for (const probe& at : {probe{link, &over_link, 1}, probe{heading, &over_title, 0}, probe{logo_point, &over_logo, 0}}) {
            POINT screen = at.point;
            ClientToScreen(d, &screen);
            // Wine keeps the pointer's position in its server and moves the X pointer after it; an
            // event still queued in another program on this display can report an older position
            // in between. So the pointer is placed again until the handler shows the expected
            // cursor or three seconds pass: a handler that never shows it still fails.
            wait_until(
                [&] {
                    SetCursorPos(screen.x, screen.y);
                    const bool placed = wait_until(
                        [&] {
                            POINT now{};
                            GetCursorPos(&now);
                            return now.x == screen.x && now.y == screen.y;
                        },
                        1000);
                    if (!placed)
                        return false;
                    SendMessageW(d, WM_SETCURSOR, reinterpret_cast<WPARAM>(d), MAKELPARAM(HTCLIENT, WM_MOUSEMOVE));
                    // The cursor the UI thread set, through its input state shared with this
                    // thread (the screen's cursor belongs to whatever window of any process lies
                    // under the pointer).
                    *at.result = GetCursor() == LoadCursorW(nullptr, IDC_HAND) ? 1 : 0;
                    return *at.result == at.expected;
                },
                3000);
            hits.push_back(box.over_link(at.point));
        }
        AttachThreadInput(GetCurrentThreadId(), GetWindowThreadProcessId(d, nullptr), FALSE);
        PostMessageW(d, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(heading.x, heading.y));
        PostMessageW(d, WM_LBUTTONUP, 0, MAKELPARAM(heading.x, heading.y));
        opened_by_title_click = recorder.wait_for_command_line(500);
        PostMessageW(d, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(link.x, link.y));
        PostMessageW(d, WM_LBUTTONUP, 0, MAKELPARAM(link.x, link.y));
        opened = recorder.wait_for_command_line();
        press_escape(d);
    });
    const INT_PTR r = box.show_modal(owner.get());
    driver.join();
    EXPECT_EQ(r, 2);
    EXPECT_EQ(title, L"About Quvan Software Tovalind Beta");
    EXPECT_TRUE(logo);
    EXPECT_EQ(over_link, TRUE);
    EXPECT_EQ(over_title, FALSE);
    EXPECT_EQ(over_logo, FALSE);
    EXPECT_EQ(hits, (std::vector<bool>{true, false, false}));
    EXPECT_EQ(opened_by_title_click, L"");
    EXPECT_NE(opened.find(L"\"https://www.quvan-software.com/\""), std::wstring::npos) << opened;
    const auto plain = Ostrel::d2d::parse_markup_ranges(about_main_text(product_title, read_own_version())).plain;
    EXPECT_NE(plain.find(L"Version 1.03.00.0177"), std::wstring::npos);
}

} // namespace
