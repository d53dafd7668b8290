#pragma once
// Guards that undo one thing of the window code when their scope ends, also by an exception.

#include <windows.h>

#include <utility>

namespace Ostrel::windows {

// Selects back into the device context the object that the guarded SelectObject replaced.
class restore_selected_object {
public:
    restore_selected_object(HDC dc, HGDIOBJ previous) noexcept : dc_(dc), previous_(previous) {}
    restore_selected_object(const restore_selected_object&) = delete;
    restore_selected_object& operator=(const restore_selected_object&) = delete;
    ~restore_selected_object()
    {
        if (dc_ && previous_ && previous_ != HGDI_ERROR)
            SelectObject(dc_, previous_);
    }

private:
    HDC dc_;
    HGDIOBJ previous_;
};

// Ends a deferred positioning batch. DeferWindowPos replaces the handle (and frees it on failure,
// returning null), so the guard refers to the caller's variable, not to a copy of the handle.
class end_defer_window_pos {
public:
    explicit end_defer_window_pos(HDWP& handle) noexcept : handle_(handle) {}
    end_defer_window_pos(const end_defer_window_pos&) = delete;
    end_defer_window_pos& operator=(const end_defer_window_pos&) = delete;
    ~end_defer_window_pos()
    {
        if (HDWP h = std::exchange(handle_, nullptr))
            EndDeferWindowPos(h);
    }

private:
    HDWP& handle_;
};

// Removes a message hook: the UI thread's hook of the return to the UI thread, held by every thread
// that runs a message loop of its own for dialogs.
class unhook_windows_hook {
public:
    unhook_windows_hook() noexcept = default;
    explicit unhook_windows_hook(HHOOK hook) noexcept : hook_(hook) {}
    unhook_windows_hook(unhook_windows_hook&& o) noexcept : hook_(std::exchange(o.hook_, nullptr)) {}
    unhook_windows_hook& operator=(unhook_windows_hook&& o) noexcept
    {
        if (this != &o) {
            reset();
            hook_ = std::exchange(o.hook_, nullptr);
        }
        return *this;
    }
    ~unhook_windows_hook() { reset(); }

    HHOOK get() const noexcept { return hook_; }
    explicit operator bool() const noexcept { return hook_ != nullptr; }
    void reset() noexcept
    {
        if (HHOOK h = std::exchange(hook_, nullptr))
            UnhookWindowsHookEx(h);
    }

private:
    HHOOK hook_ = nullptr;
};

} // namespace Ostrel::windows
