#pragma once
// The main window as the folder commands see it: an adapter over the main window's object.
//
// D is the main window's class: a dialog whose list box is control 1001, deriving from
// async_context, with `window()`, a `folders` vector (entry i is list item i), `fill_folder_list()`
// (returns the previous selection), `enable_commands()` and `disable_commands()`. The window calls
// mark_closing() from its WM_DESTROY, so that commands resuming afterwards end without a word.

#include <plendor/commands/folder_commands.h>

#include <windows.h>

template <class D>
class main_window_host final : public folder_command_host {
public:
    static constexpr int list_id = 1001;

    main_window_host(D& dialog, folder_services& services, known_folder_resolver resolve = &resolve_known_folder)
        : dialog_(dialog), services_(services), resolve_(std::move(resolve))
    {
    }

    void mark_closing() noexcept { closing_ = true; }

    HWND main_window() const override { return dialog_.window(); }
    const Ostrel::windows::impl::async_context& ui() const override { return dialog_; }
    bool closing() const override { return closing_ || !IsWindow(dialog_.window()); }
    std::vector<std::wstring>& folders() override { return dialog_.folders; }
    int selected_index() const override
    {
        return static_cast<int>(SendDlgItemMessageW(dialog_.window(), list_id, LB_GETCURSEL, 0, 0));
    }
    void select(int index) override
    {
        SendDlgItemMessageW(dialog_.window(), list_id, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
    }
    int fill_folder_list() override { return dialog_.fill_folder_list(); }
    void disable_commands() override { dialog_.disable_commands(); }
    void enable_commands() override { dialog_.enable_commands(); }
    folder_services& services() override { return services_; }
    const known_folder_resolver& known_folders() const override { return resolve_; }

private:
    D& dialog_;
    folder_services& services_;
    known_folder_resolver resolve_;
    bool closing_ = false;
};
