#pragma once
// Drives the utility's windows from another thread, the way a user would: finds a dialog by its
// class and title, reads its controls' state, and posts (never sends) input, so that the modal
// loops of the UI thread never wait for the driver.

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

namespace ui_test {

// Pumps this thread's messages until `done` holds or the time is up; the last answer of `done`.
inline bool pump_until(const std::function<bool()>& done, int ms = 20000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done())
            return true;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return done();
}

// A visible dialog of this process with the title (any title when null). Tests of other
// processes show dialogs with the same titles at the same time.
inline HWND find_own_dialog(const wchar_t* title)
{
    struct search {
        const wchar_t* title;
        HWND found;
    } s{title, nullptr};
    EnumWindows(
        [](HWND w, LPARAM context) -> BOOL {
            auto* s = reinterpret_cast<search*>(context);
            DWORD pid = 0;
            GetWindowThreadProcessId(w, &pid);
            if (pid != GetCurrentProcessId() || !IsWindowVisible(w))
                return TRUE;
            wchar_t cls[16] = {};
            GetClassNameW(w, cls, 16);
            if (std::wstring_view(cls) != L"#32770")
                return TRUE;
            wchar_t text[256] = {};
            GetWindowTextW(w, text, 256);
            if (s->title && std::wstring_view(text) != s->title)
                return TRUE;
            s->found = w;
            return FALSE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

inline HWND wait_for_dialog(const wchar_t* title, int ms = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        HWND w = find_own_dialog(title);
        if (w && IsWindowVisible(w))
            return w;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return nullptr;
}

inline bool wait_until(const std::function<bool()>& done, int ms = 10000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        if (done())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return done();
}

// The rectangle of a control in its dialog's client coordinates.
inline RECT control_rect(HWND dialog, int id)
{
    RECT r{};
    GetWindowRect(GetDlgItem(dialog, id), &r);
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    return r;
}

inline std::wstring window_text(HWND w)
{
    wchar_t text[1024] = {};
    GetWindowTextW(w, text, 1024);
    return text;
}

// Escape as the keyboard gives it: to the focused control, which the dialog manager turns into
// IDCANCEL.
inline void press_escape(HWND dialog)
{
    HWND target = GetDlgItem(dialog, IDOK) ? GetDlgItem(dialog, IDOK) : GetDlgItem(dialog, IDCANCEL);
    PostMessageW(target ? target : dialog, WM_KEYDOWN, VK_ESCAPE, 0);
    PostMessageW(target ? target : dialog, WM_KEYUP, VK_ESCAPE, 0);
}

// A visible plain top-level window to own dialogs.
class owner_window {
public:
    owner_window(int x, int y, int width, int height)
    {
        WNDCLASSW c{};
        c.lpfnWndProc = &DefWindowProcW;
        c.hInstance = GetModuleHandleW(nullptr);
        c.lpszClassName = L"plendor-test-owner";
        c.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
        RegisterClassW(&c);
        window_ = CreateWindowW(L"plendor-test-owner", L"owner", WS_OVERLAPPEDWINDOW | WS_VISIBLE, x, y, width, height,
                                nullptr, nullptr, c.hInstance, nullptr);
    }
    ~owner_window() { DestroyWindow(window_); }
    owner_window(const owner_window&) = delete;
    owner_window& operator=(const owner_window&) = delete;
    HWND get() const noexcept { return window_; }

private:
    HWND window_;
};

inline POINT centre_of(const RECT& r) { return {(r.left + r.right) / 2, (r.top + r.bottom) / 2}; }

} // namespace ui_test
