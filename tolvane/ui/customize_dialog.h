#pragma once
// The customize dialog: installation folder, mode, feature set and features before a clean install
// (resource 134), or the features alone for a modify run (136). Feature changes go to the package's
// tree as the user makes them; the folder and the mode are written on OK.

#include <ostrel/windows/dialog.h>
#include <tolvane/package.h>

#include <windows.h>
#include <commctrl.h>

#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace tolvane {

struct customize_hooks {
    // GetDriveTypeW of a root such as "C:\".
    std::function<UINT(const std::wstring& root)> drive_type;
    // The folder picker, run on the browse worker: the chosen file-system folder, or empty.
    std::function<std::wstring(HWND owner, const std::wstring& start)> pick_folder;
    // IsUserAnAdmin.
    std::function<bool()> is_user_admin;
};

// Whether a folder text may be installed to (the rules of the folder edit).
bool acceptable_install_folder(const std::wstring& text, const package& pkg,
                               const std::function<UINT(const std::wstring&)>& drive_type);

class customize_dialog {
public:
    customize_dialog(package& pkg, bool install_form, float horizontal_scale, customize_hooks hooks = {});
    ~customize_dialog();
    customize_dialog(const customize_dialog&) = delete;
    customize_dialog& operator=(const customize_dialog&) = delete;

    // Runs resource 134 (install form) or 136 modally: 1 (OK) or 2.
    INT_PTR run(HWND owner);

    // The dialog's messages, after the framework's.
    bool handle(Ostrel::windows::impl::message_record& m);

private:
    bool on_init(HWND window);
    bool on_notify(Ostrel::windows::impl::message_record& m);
    bool on_command(Ostrel::windows::impl::message_record& m);
    void fill_tree(HWND tree, feature_t& parent, HTREEITEM parent_item, bool& first);
    void make_images(HWND window);
    void show_description();
    void show_total_space();
    void toggle(HTREEITEM item);
    void update_ok_for_modify();
    std::vector<bool> snapshot(bool installed) const;
    void on_mode();
    void on_folder_changed();
    void start_browse();
    void on_ok();
    bool admin() const;

    package& package_;
    bool install_form_;
    float scale_;
    customize_hooks hooks_;
    DWORD thread_id_ = GetCurrentThreadId();
    HWND window_handle_ = nullptr;
    HWND folder_ = nullptr;
    HWND feature_sets_ = nullptr;
    HWND tree_ = nullptr;
    const int mode_ids_[3] = {1001, 1002, 1003};
    std::thread browser_;
    UINT browse_completed_ = RegisterWindowMessageW(L"QuvanWM_BROWSECOMPLETED");
    std::wstring browse_result_;
    HIMAGELIST images_ = nullptr;
    std::vector<bool> installed_snapshot_;
};

} // namespace tolvane
