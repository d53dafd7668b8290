#pragma once
// The main window: the deduplicated folders the service reports, the folder commands, and the
// start-up dispatcher that runs after every start and every command line a later start forwards.
//
// The folder commands, the about box, the help, the pre-release notice and the update flow are
// supplied through `main_dlg_hooks`; an empty hook does nothing.
//
// Threads: everything runs on the UI thread. The dispatcher and the refresh are coroutines that
// continue on the UI thread after each service call (async_context); a forwarded command line
// arrives on a thread-pool thread and moves to the UI thread before it touches the option table.

#include <plendor/connections.h>
#include <plendor/options.h>
#include <plendor/commands/update.h>

#include <ostrel/cmd_line.h>
#include <ostrel/layout/dialog_layout.h>
#include <ostrel/windows/async_context.h>
#include <ostrel/windows/dialog.h>
#include <ostrel/windows/main_dialog.h>

#include <tavik/cancellation.h>
#include <tavik/future.h>
#include <tavik/unique_handle.h>

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace main_ids {
inline constexpr int dialog = 101;
inline constexpr int icon = 107;
inline constexpr int list = 1001;
inline constexpr int label = 1002;
inline constexpr int add = 1003;
inline constexpr int remove = 1004; // "Delete"
inline constexpr int optimize = 1005;
inline constexpr int recover = 1006;
inline constexpr int refresh = 1007;
inline constexpr int about = 1008;
inline constexpr int help = 1009;
inline constexpr int hidden_static = 1010;
inline constexpr int close = IDCANCEL;
} // namespace main_ids

class main_dlg;

struct main_dlg_hooks {
    // The verbs of a command line, with its folder.
    std::function<void(main_dlg&, const std::wstring&)> run_convert_command;
    std::function<void(main_dlg&, const std::wstring&)> optimize_folder;
    std::function<void(main_dlg&, const std::wstring&)> recover_folder;
    std::function<void(main_dlg&, const std::wstring&)> create_in_folder;
    std::function<void(main_dlg&, std::size_t)> delete_folder; // index into folders
    // The buttons.
    std::function<void(main_dlg&)> delete_selected_folder;
    std::function<void(main_dlg&)> optimize_selected_folder;
    std::function<void(main_dlg&)> recover_selected_folder;
    std::function<void(main_dlg&)> show_about_box;
    std::function<void(main_dlg&)> show_help;
    // A start without a verb: the modal pre-release notice, then the update flow, which observes
    // the source and whose future the window holds until it is destroyed. A notice still open and
    // a flow still running are kept: a later verbless start shows no second notice and begins no
    // second flow.
    std::function<void(main_dlg&)> show_notice;
    std::function<tavik::details::future<void>(main_dlg&, tavik::details::cancellation_source)> start_update_flow;
    // WM_DESTROY has begun: commands that resume from now on end without a word.
    std::function<void(main_dlg&)> closing;
    // The error box; MessageBoxW unless replaced.
    std::function<int(HWND, const wchar_t*, const wchar_t*, UINT)> message_box;
};

inline constexpr wchar_t message_caption[] = L"Quvan Software Tovalind Beta";
inline constexpr wchar_t service_unreachable_text[] =
    L"Unable to contact Tovalind Service. Check that the corresponding service is running or re-install the "
    L"application.";

class main_dlg : public Ostrel::windows::impl::dialog<main_dlg, main_ids::dialog>,
                 public Ostrel::layout::details::dialog_layout_manager_winapi<main_dlg>,
                 public Ostrel::windows::impl::async_context,
                 public Ostrel::windows::impl::exit_code_holder {
public:
    explicit main_dlg(std::wstring_view command_line, main_dlg_hooks hooks = {});
    ~main_dlg();


    // The deduplicated folders in list order: entry i is list item i.
    std::vector<std::wstring> folders;
    main_dlg_hooks hooks;
    // The service's pipe name (tests may point it elsewhere).
    std::wstring service_pipe = dedup::api::service_pipe_name;

    tavik::details::future<void> start_up_dispatch(bool first_start);
    tavik::details::future<void> refresh_folder_list();
    // A command line handed over by a later start; callable from any thread.
    void process_forwarded_command_line(std::wstring command_line);

    void disable_commands();
    void enable_commands();
    // Refills the list box; the previous selection index.
    int fill_folder_list();
    void update_selection_commands();
    void open_in_explorer();

    // Whether this process found itself the first instance (set during WM_INITDIALOG).
    bool first_instance() const noexcept { return first_instance_; }
    // The forward's outcome in a second instance: S_OK when the running instance received it.
    HRESULT forward_result() const noexcept { return forward_result_; }

private:
    bool on_main_dialog_init(Ostrel::windows::impl::message_record& m);
    bool on_main_command(Ostrel::windows::impl::message_record& m);
    void declare_layout();
    void on_destroy();
    tavik::details::fire_and_forget handle_forwarded(std::wstring command_line);
    int show_error(const wchar_t* text);

    HWND list_ = nullptr;
    tavik::unique_handle section_;
    Ostrel::cmd_line::option_table options_;
    copydata_connection channel_;
    update_flow_slot update_flow_;
    // The pre-release notice is open: a later start without a verb finds it there and shows no
    // second one. Each notice is a modal loop inside the one before it, resumed from the UI
    // thread's message hook, and the system stops calling a hook nested too deep (Wine: 25
    // levels), after which the UI returns of the nested loops are lost.
    bool notice_open_ = false;
    bool first_instance_ = false;
    HRESULT forward_result_ = S_FALSE;
};

// Lower-cases every UTF-16 unit through the user's locale.
void lower_case_in_place(std::wstring& text);

// The utility's run: the running marker, the main window and its message loop; 0 in every case.
int run_plendor(std::wstring_view command_line, int show_command, main_dlg_hooks hooks = {});
