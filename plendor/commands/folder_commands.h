#pragma once
// The folder commands of the main window and of Explorer's verbs: convert and create-in, optimize,
// recover and delete.
//
// Contract of every command coroutine: started on the UI thread with a host that outlives it;
// awaited by nobody (the main window releases the future) or once; it continues on the UI thread
// after each call; it never raises an HRESULT error to its awaiter: errors are shown in message
// boxes, except when the host is closing, which ends the command silently. A call that fails with
// 0x800704C7 because its connection ended (a folder server dying mid-call) is an error like any
// other: it is shown and the controls come back.

#include <plendor/commands/folder_checks.h>
#include <plendor/commands/progress_dlg.h>

#include <dedup/engine/operation_results.h>
#include <ostrel/windows/async_context.h>
#include <tavik/future.h>

#include <windows.h>

#include <cstdint>
#include <expected>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The calls the commands make to the outside: the service over a new connection for each call,
// and the folder server of one folder. A failure to connect or a broken connection is the future's
// HRESULT error.
class folder_services {
public:
    virtual ~folder_services() = default;
    // ServiceInterface::convert(path, true); the service's HRESULT.
    virtual tavik::details::future<long> convert(std::wstring path) = 0;
    // ServiceInterface::delete_folder(path, force); the service's HRESULT.
    virtual tavik::details::future<long> delete_folder(std::wstring path, bool force) = 0;
    // RepoInterface::resync(0, 7, 3) on the folder's pipe, progress reported to `target`.
    virtual tavik::details::future<std::expected<dedup::resync_stats, long>> resync(std::wstring path,
                                                                                     std::shared_ptr<progress> target) = 0;
    // RepoInterface::recover(0) on the folder's pipe, progress ignored.
    virtual tavik::details::future<std::expected<dedup::recover_stats, long>> recover(std::wstring path) = 0;
};

// What the commands use of the main window. Everything is called on the UI thread.
class folder_command_host {
public:
    virtual ~folder_command_host() = default;
    virtual HWND main_window() const = 0;
    virtual const Ostrel::windows::impl::async_context& ui() const = 0;
    // The main window is going away: a command that resumes then ends without a word.
    virtual bool closing() const = 0;
    virtual std::vector<std::wstring>& folders() = 0;
    // The list box's selection (LB_GETCURSEL), -1 for none, and LB_SETCURSEL.
    virtual int selected_index() const = 0;
    virtual void select(int index) = 0;
    // Refills the list box from folders(); the selection before, -1 for none.
    virtual int fill_folder_list() = 0;
    virtual void disable_commands() = 0;
    virtual void enable_commands() = 0;
    virtual folder_services& services() = 0;
    // Where the known folders are (tests give their own).
    virtual const known_folder_resolver& known_folders() const = 0;
};

// The form a verb's folder takes before it is compared or sent: canonical and in lower case;
// nothing when the path is not fully qualified.
std::optional<std::wstring> folder_verb_form(std::wstring_view path);

// Folder-picker parameters of the common item dialog.
struct pick_folder_params {
    std::wstring filter;          // "name|pattern|name|pattern"; empty: none
    GUID client_guid{};           // all zero: not set
    DWORD options_to_set = 0;     // added to the dialog's current options...
    DWORD options_mask = 0;       // ...that this mask does not cover
    std::optional<std::wstring> title, file_name, ok_label;
    int file_type_index = -1;     // -1: not set
    std::wstring default_folder;  // empty: the dialog's own default
};
struct picked_item {
    std::wstring path;
    int file_type_index = -1;
};
// Shows the common item dialog over `owner`; the picked file-system item, or nothing (cancelled,
// failed, or an item without a file-system path).
std::optional<picked_item> pick_folder(HWND owner, const pick_folder_params& params);
using folder_picker = std::function<std::optional<picked_item>(HWND owner, const pick_folder_params& params)>;

tavik::details::future<void> run_convert_command(folder_command_host& host, std::wstring path);
tavik::details::future<void> create_in_folder(folder_command_host& host, std::wstring path,
                                              folder_picker picker = &pick_folder);

tavik::details::future<void> optimize_folder(folder_command_host& host, std::wstring path);
tavik::details::future<void> optimize_selected_folder(folder_command_host& host);
tavik::details::future<void> recover_folder(folder_command_host& host, std::wstring path);
tavik::details::future<void> recover_selected_folder(folder_command_host& host);
tavik::details::future<void> delete_folder(folder_command_host& host, std::size_t index);
tavik::details::future<void> delete_selected_folder(folder_command_host& host);

// The clock of optimize's processing time, in 100-ns units; tests give their own.
void set_optimize_clock(progress_clock clock);
