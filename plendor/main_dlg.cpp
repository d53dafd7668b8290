#include <plendor/main_dlg.h>
#include <plendor/single_instance.h>

#include <plendor/commands/folder_commands.h>
#include <plendor/commands/update.h>

#include <tavik/error.h>

#include <algorithm>
#include <coroutine>
#include <exception>
#include <stdexcept>

using namespace Ostrel::windows::impl;
using namespace Ostrel::layout::details;

namespace {

// Moves the awaiting coroutine to the UI thread (through the UI return of the message loop).
struct to_ui_thread {
    const async_context* context;
    bool await_ready() const noexcept { return context->is_ui_thread(); }
    void await_suspend(std::coroutine_handle<> h) const noexcept { context->post_resume(h); }
    void await_resume() const noexcept {}
};

constexpr int command_ids[] = {main_ids::list,  main_ids::refresh, main_ids::add,  main_ids::optimize, main_ids::recover,
                               main_ids::remove, main_ids::about,   main_ids::help, main_ids::close};

} // namespace

void lower_case_in_place(std::wstring& text)
{
    if (!text.empty())
        CharLowerBuffW(text.data(), static_cast<DWORD>(text.size()));
}

main_dlg::main_dlg(std::wstring_view command_line, main_dlg_hooks h) : hooks(std::move(h))
{
    define_options(options_);
    parse_own_command_line(options_, command_line);
    install(framework_entries());
    install(message_map(on_message(WM_INITDIALOG, [this](message_record& m) { return on_main_dialog_init(m); }),
                        on_message(WM_DESTROY,
                                   [this](message_record&) {
                                       on_destroy();
                                       return false;
                                   }),
                        on_message(WM_COPYDATA,
                                   [this](message_record& m) { return channel_.on_copydata(m.lparam, m.result); })));
    install([this](message_record& m) { return is_command(m) && on_main_command(m); });
}

main_dlg::~main_dlg()
{
    // The handler of the channel reaches this object: the reader ends before anything else goes.
    channel_.shutdown();
}

int main_dlg::show_error(const wchar_t* text)
{
    if (hooks.message_box)
        return hooks.message_box(window(), text, message_caption, MB_ICONERROR);
    return MessageBoxW(window(), text, message_caption, MB_ICONERROR);
}

bool main_dlg::on_main_dialog_init(message_record& m)
{
    instance_check check = check_single_instance(window());
    if (check.running) {
        SetForegroundWindow(check.running);
        forward_result_ = forward_command_line(check.running, window(), GetCommandLineW());
        DestroyWindow(window());
        m.result = FALSE;
        return true;
    }
    first_instance_ = true;
    section_ = std::move(check.section);
    channel_.start(window(), [this](std::wstring line) { process_forwarded_command_line(std::move(line)); });

    list_ = GetDlgItem(window(), main_ids::list);
    if (HICON icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(main_ids::icon), IMAGE_ICON,
                                                   0, 0, LR_DEFAULTSIZE))) {
        if (HICON old = reinterpret_cast<HICON>(SendMessageW(window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon))))
            DestroyIcon(old);
    }
    declare_layout();
    layout(true);
    (void)start_up_dispatch(true);
    m.result = TRUE;
    return true;
}

void main_dlg::declare_layout()
{
    const float* s = scale_pointer();
    const spacing mg = margin();
    const spacing sp = related();
    const float scale = this->scale();
    const int unit = icon_unit();
    float button_width = 0;
    for (int id : {main_ids::add, main_ids::optimize, main_ids::recover, main_ids::remove, main_ids::about, main_ids::help,
                   main_ids::refresh, main_ids::close})
        button_width = std::max(button_width, static_cast<float>(ideal_button_width(window(), id, unit)) / scale);
    RECT heights{0, 0, 8, 14};
    MapDialogRect(window(), &heights);
    const float button_height = static_cast<float>(heights.bottom) / scale;
    const float label_height = static_cast<float>(heights.right) / scale;
    HDC dc = GetDC(window());
    const float label_width = static_cast<float>(measure_control(dc, main_ids::label, unit)) / scale;
    ReleaseDC(window(), dc);

    auto id = [](int i) { return static_cast<std::uint32_t>(i); };
    std::vector<row> rows;
    // The label at the top-left margin.
    rows.push_back(scaled_difference(edge_of(id(main_ids::label), left), edge_of(0, left), s, mg.width));
    rows.push_back(scaled_difference(edge_of(id(main_ids::label), top), edge_of(0, top), s, mg.height));
    rows.push_back(scaled_difference(edge_of(id(main_ids::label), right), edge_of(id(main_ids::label), left), s, label_width));
    rows.push_back(scaled_difference(edge_of(id(main_ids::label), bottom), edge_of(id(main_ids::label), top), s, label_height));
    // About, Help and Refresh down the right margin.
    std::uint32_t previous = 0;
    for (int b : {main_ids::about, main_ids::help, main_ids::refresh}) {
        rows.push_back(scaled_difference(edge_of(0, right), edge_of(id(b), right), s, mg.width));
        rows.push_back(scaled_difference(edge_of(id(b), right), edge_of(id(b), left), s, button_width));
        rows.push_back(scaled_difference(edge_of(id(b), bottom), edge_of(id(b), top), s, button_height));
        if (previous == 0)
            rows.push_back(scaled_difference(edge_of(id(b), top), edge_of(0, top), s, mg.height));
        else
            rows.push_back(scaled_difference(edge_of(id(b), top), edge_of(previous, bottom), s, sp.height));
        previous = id(b);
    }
    // Add, Optimize, Recover and Delete along the bottom margin.
    previous = 0;
    for (int b : {main_ids::add, main_ids::optimize, main_ids::recover, main_ids::remove}) {
        rows.push_back(scaled_difference(edge_of(0, bottom), edge_of(id(b), bottom), s, mg.height));
        rows.push_back(scaled_difference(edge_of(id(b), bottom), edge_of(id(b), top), s, button_height));
        rows.push_back(scaled_difference(edge_of(id(b), right), edge_of(id(b), left), s, button_width));
        if (previous == 0)
            rows.push_back(scaled_difference(edge_of(id(b), left), edge_of(0, left), s, mg.width));
        else
            rows.push_back(scaled_difference(edge_of(id(b), left), edge_of(previous, right), s, sp.width));
        previous = id(b);
    }
    // Close in the bottom-right corner.
    rows.push_back(scaled_difference(edge_of(0, right), edge_of(id(main_ids::close), right), s, mg.width));
    rows.push_back(scaled_difference(edge_of(0, bottom), edge_of(id(main_ids::close), bottom), s, mg.height));
    rows.push_back(scaled_difference(edge_of(id(main_ids::close), right), edge_of(id(main_ids::close), left), s, button_width));
    rows.push_back(scaled_difference(edge_of(id(main_ids::close), bottom), edge_of(id(main_ids::close), top), s, button_height));
    // The list takes what is left.
    rows.push_back(scaled_difference(edge_of(id(main_ids::list), left), edge_of(0, left), s, mg.width));
    rows.push_back(scaled_difference(edge_of(id(main_ids::list), top), edge_of(id(main_ids::label), bottom), s, sp.height));
    rows.push_back(scaled_difference(edge_of(id(main_ids::about), left), edge_of(id(main_ids::list), right), s, sp.width));
    rows.push_back(scaled_difference(edge_of(id(main_ids::add), top), edge_of(id(main_ids::list), bottom), s, sp.height));
    layout_rows().add(std::move(rows));
}

bool main_dlg::on_main_command(message_record& m)
{
    const int id = LOWORD(m.wparam);
    const int code = HIWORD(m.wparam);
    switch (id) {
    case main_ids::list:
        if (code == LBN_SELCHANGE)
            update_selection_commands();
        else if (code == LBN_DBLCLK)
            open_in_explorer();
        else
            return false;
        break;
    case main_ids::close: DestroyWindow(window()); break;
    case main_ids::add:
        if (hooks.create_in_folder)
            hooks.create_in_folder(*this, std::wstring());
        break;
    case main_ids::remove:
        if (hooks.delete_selected_folder)
            hooks.delete_selected_folder(*this);
        break;
    case main_ids::optimize:
        if (hooks.optimize_selected_folder)
            hooks.optimize_selected_folder(*this);
        break;
    case main_ids::recover:
        if (hooks.recover_selected_folder)
            hooks.recover_selected_folder(*this);
        break;
    case main_ids::refresh: (void)refresh_folder_list(); break;
    case main_ids::about:
        if (hooks.show_about_box)
            hooks.show_about_box(*this);
        break;
    case main_ids::help:
        if (hooks.show_help)
            hooks.show_help(*this);
        break;
    default: return false;
    }
    set_command_result(m);
    return true;
}

void main_dlg::on_destroy()
{
    if (hooks.closing)
        hooks.closing(*this);
    update_flow_.stop();
}

tavik::details::future<void> main_dlg::start_up_dispatch(bool)
{
    // Copied before the first wait: a command line forwarded meanwhile parses into the table again.
    const std::optional<verb_request> request = first_verb(options_);
    co_await refresh_folder_list();
    co_await to_ui_thread{this};
    if (!window())
        co_return;
    if (request) {
        switch (request->kind) {
        case verb::convert:
            if (hooks.run_convert_command)
                hooks.run_convert_command(*this, request->folder);
            break;
        case verb::optimize:
            if (hooks.optimize_folder)
                hooks.optimize_folder(*this, request->folder);
            break;
        case verb::recover:
            if (hooks.recover_folder)
                hooks.recover_folder(*this, request->folder);
            break;
        case verb::delete_folder: {
            // The listed form: canonical and in lower case, as convert added it.
            const std::optional<std::wstring> listed = folder_verb_form(request->folder);
            const auto found = listed ? std::find(folders.begin(), folders.end(), *listed) : folders.end();
            if (found != folders.end() && hooks.delete_folder)
                hooks.delete_folder(*this, static_cast<std::size_t>(found - folders.begin()));
            break;
        }
        case verb::create_in:
            if (hooks.create_in_folder)
                hooks.create_in_folder(*this, request->folder);
            break;
        }
        co_return;
    }
    if (notice_open_)
        co_return;
    if (hooks.show_notice) {
        struct open_while_shown {
            bool& open;
            explicit open_while_shown(bool& flag) : open(flag) { open = true; }
            ~open_while_shown() { open = false; }
        } shown(notice_open_);
        hooks.show_notice(*this);
    }
    if (!window() || !hooks.start_update_flow)
        co_return;
    update_flow_.start([this](tavik::details::cancellation_source source) {
        return hooks.start_update_flow(*this, std::move(source));
    });
}

tavik::details::future<void> main_dlg::refresh_folder_list()
{
    disable_commands();
    bool failed = false;
    try {
        std::shared_ptr<service_connection> connection = service_connection::open(service_pipe);
        std::vector<std::wstring> listed = co_await await(connection->list_folders());
        if (!window())
            co_return;
        folders = std::move(listed);
        const int previous = fill_folder_list();
        SendMessageW(list_, LB_SETCURSEL, static_cast<WPARAM>(previous), 0);
        for (int id : {main_ids::list, main_ids::refresh, main_ids::add, main_ids::about, main_ids::help, main_ids::close})
            EnableWindow(GetDlgItem(window(), id), TRUE);
        update_selection_commands();
    } catch (const tavik::details::hresult_error_impl&) {
        failed = true;
    }
    if (!failed)
        co_return;
    co_await to_ui_thread{this};
    if (!window())
        co_return;
    show_error(service_unreachable_text);
    if (!window())
        co_return;
    for (int id : {main_ids::refresh, main_ids::about, main_ids::help, main_ids::close})
        EnableWindow(GetDlgItem(window(), id), TRUE);
}

void main_dlg::process_forwarded_command_line(std::wstring command_line) { handle_forwarded(std::move(command_line)); }

tavik::details::fire_and_forget main_dlg::handle_forwarded(std::wstring command_line)
{
    // On the UI thread, one at a time: a dispatcher copies its verb before its first wait, so a
    // later parse into the same table cannot change what an earlier one runs.
    co_await to_ui_thread{this};
    if (!window())
        co_return;
    try {
        parse_forwarded_command_line(options_, command_line);
    } catch (const Ostrel::cmd_line_syntax_error&) {
        co_return;
    }
    (void)start_up_dispatch(false);
}

void main_dlg::disable_commands()
{
    for (int id : command_ids)
        EnableWindow(GetDlgItem(window(), id), FALSE);
}

void main_dlg::enable_commands()
{
    for (int id : {main_ids::list, main_ids::refresh, main_ids::add, main_ids::about, main_ids::help, main_ids::close})
        EnableWindow(GetDlgItem(window(), id), TRUE);
    update_selection_commands();
}

int main_dlg::fill_folder_list()
{
    const int previous = static_cast<int>(SendMessageW(list_, LB_GETCURSEL, 0, 0));
    // One repaint for the whole list instead of one per entry.
    SendMessageW(list_, WM_SETREDRAW, FALSE, 0);
    SendMessageW(list_, LB_RESETCONTENT, 0, 0);
    for (const std::wstring& folder : folders)
        SendMessageW(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(folder.c_str()));
    SendMessageW(list_, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(list_, nullptr, TRUE);
    return previous;
}

void main_dlg::update_selection_commands()
{
    const bool selected = SendMessageW(list_, LB_GETCURSEL, 0, 0) != LB_ERR;
    for (int id : {main_ids::optimize, main_ids::recover, main_ids::remove})
        EnableWindow(GetDlgItem(window(), id), selected);
}

void main_dlg::open_in_explorer()
{
    const LRESULT selected = SendMessageW(list_, LB_GETCURSEL, 0, 0);
    if (selected == LB_ERR || static_cast<std::size_t>(selected) >= folders.size())
        return;
    std::wstring command = L"explorer.exe /select," + folders[static_cast<std::size_t>(selected)];
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // A failure to start Explorer is not reported: the list stays as it is.
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, NORMAL_PRIORITY_CLASS, nullptr, nullptr,
                        &startup, &process))
        return;
    close_or_die(process.hThread);
    close_or_die(process.hProcess);
}

int run_plendor(std::wstring_view command_line, int show_command, main_dlg_hooks hooks)
{
    // Its existence tells the installer that a utility runs; a failure to make it is tolerated.
    HANDLE marker = CreateMutexW(nullptr, FALSE, running_marker_name);
    try {
        main_dlg main(command_line, std::move(hooks));
        try {
            run_main_dialog(main, show_command, 0x4237);
        } catch (const std::exception&) {
            // A second instance destroys its dialog inside WM_INITDIALOG, which makes the creation
            // report failure: the end of a second start, not an error.
        }
    } catch (const std::exception&) {
    }
    close_or_die(marker);
    return 0;
}
