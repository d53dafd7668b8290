#pragma once
// Dialog objects bound to their windows, without virtual functions.
//
//     class about_dialog : public Ostrel::windows::impl::dialog<about_dialog, 108> { ... };
//
// The object exists before its window. It is put into a thread-local slot of its class just before
// the dialog function is called; the class's dialog procedure takes it on the first message that
// arrives (WM_SETFONT under Wine, before WM_INITDIALOG), keeps it in GWLP_USERDATA and gives it the
// window handle, which WM_NCDESTROY clears again. Messages without an object answer FALSE.
//
// Every message goes through the object's handler chain. A handled WM_INITDIALOG or WM_CTLCOLORDLG
// returns the record's result itself; any other handled message stores it as DWLP_MSGRESULT. A
// handler that throws counts as not handling the message: the framework never ends the process.

#include <ostrel/windows/dpi.h>
#include <ostrel/windows/messages.h>

#include <windows.h>

#include <cstdint>
#include <utility>

namespace Ostrel::windows::impl {

class window_base {
public:
    HWND window() const noexcept { return window_; }
    // The handle as it changes: the main message loop reads it after every message.
    const HWND& window_ref() const noexcept { return window_; }

protected:
    HWND window_ = nullptr;
    template <class D, int Id>
    friend class dialog;
};

// The object of any dialog class as its procedure sees it.
class dialog_object : public window_base, public messages {
protected:
    // Runs the chain as a call that does not throw; whether the message was handled.
    bool deliver(message_record& m) noexcept
    {
        try {
            return dispatch(m);
        } catch (...) {
            return false;
        }
    }
    template <class D, int Id>
    friend class dialog;
};

template <class D, int Id>
class dialog : public dialog_object {
public:
    static constexpr int resource_id = Id;

    static INT_PTR CALLBACK dialog_proc(HWND window, UINT message, WPARAM wparam, LPARAM lparam)
    {
        dialog_object* self;
        if (D* created = std::exchange(creating_, nullptr)) {
            self = created;
            SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
            self->window_ = window;
        } else {
            self = reinterpret_cast<dialog_object*>(GetWindowLongPtrW(window, GWLP_USERDATA));
        }
        if (!self)
            return FALSE;
        message_record m{window, message, static_cast<std::uint64_t>(wparam), static_cast<std::int64_t>(lparam), 0};
        const bool handled = self->deliver(m);
        if (message == WM_NCDESTROY)
            self->window_ = nullptr;
        if (!handled)
            return FALSE;
        if (message == WM_INITDIALOG || message == WM_CTLCOLORDLG)
            return static_cast<INT_PTR>(m.result);
        SetWindowLongPtrW(window, DWLP_MSGRESULT, static_cast<LONG_PTR>(m.result));
        return TRUE;
    }

    // Runs the dialog modally; the value given to EndDialog, or -1 when it could not be made.
    INT_PTR show_modal(HWND owner, HINSTANCE module = GetModuleHandleW(nullptr))
    {
        creating_ = static_cast<D*>(this);
        const INT_PTR result = DialogBoxParamW(module, MAKEINTRESOURCEW(Id), owner, &dialog_proc,
                                               reinterpret_cast<LPARAM>(static_cast<D*>(this)));
        creating_ = nullptr;
        return result;
    }

    // Creates the dialog modeless; null when it could not be made (GetLastError tells why).
    HWND create_modeless(HWND owner, HINSTANCE module = GetModuleHandleW(nullptr))
    {
        creating_ = static_cast<D*>(this);
        HWND window = CreateDialogParamW(module, MAKEINTRESOURCEW(Id), owner, &dialog_proc,
                                         reinterpret_cast<LPARAM>(static_cast<D*>(this)));
        const DWORD error = GetLastError();
        creating_ = nullptr;
        SetLastError(error);
        return window;
    }

protected:
    dialog() = default;
    ~dialog() = default;
    dialog(const dialog&) = delete;
    dialog& operator=(const dialog&) = delete;

private:
    static inline thread_local D* creating_ = nullptr;
};

} // namespace Ostrel::windows::impl
