#include <plendor/commands/folder_commands.h>

#include <plendor/commands/result_dlg.h>
#include <plendor/commands/texts.h>

#include <tavik/error.h>

#include <shobjidl.h>

#include <algorithm>
#include <mutex>

using namespace tavik::details;

namespace {

constexpr HRESULT directory_not_empty = static_cast<HRESULT>(0x80070091);

int message_box(HWND owner, const std::wstring& text, UINT flags)
{
    return MessageBoxW(owner, text.c_str(), message_box_caption.data(), flags);
}

std::mutex clock_lock;
progress_clock optimize_clock = &system_time_now;

std::uint64_t optimize_now()
{
    std::lock_guard guard(clock_lock);
    return optimize_clock();
}

template <class F>
struct com_release_guard {
    F* p = nullptr;
    ~com_release_guard()
    {
        if (p)
            p->Release();
    }
};

} // namespace

void set_optimize_clock(progress_clock clock)
{
    std::lock_guard guard(clock_lock);
    optimize_clock = clock ? std::move(clock) : progress_clock(&system_time_now);
}

std::optional<std::wstring> folder_verb_form(std::wstring_view path)
{
    try {
        std::wstring form = canonical_folder_path(path);
        folder_paths::lower_case_in_place(form);
        return form;
    } catch (const traceable_error&) {
        return std::nullopt;
    }
}

std::optional<picked_item> pick_folder(HWND owner, const pick_folder_params& params)
{
    com_release_guard<IFileOpenDialog> dialog;
    if (FAILED(CoCreateInstance(CLSID_FileOpenDialog, nullptr, CLSCTX_ALL, IID_PPV_ARGS(&dialog.p))))
        return std::nullopt;
    std::vector<std::wstring> parts;
    if (!params.filter.empty()) {
        std::size_t start = 0;
        for (;;) {
            const std::size_t bar = params.filter.find(L'|', start);
            parts.push_back(params.filter.substr(start, bar == std::wstring::npos ? std::wstring::npos : bar - start));
            if (bar == std::wstring::npos)
                break;
            start = bar + 1;
        }
        std::vector<COMDLG_FILTERSPEC> specs;
        for (std::size_t i = 0; i + 1 < parts.size(); i += 2)
            specs.push_back({parts[i].c_str(), parts[i + 1].c_str()});
        if (!specs.empty())
            dialog.p->SetFileTypes(static_cast<UINT>(specs.size()), specs.data());
    }
    if (params.client_guid != GUID{})
        dialog.p->SetClientGuid(params.client_guid);
    if (params.options_to_set || params.options_mask) {
        FILEOPENDIALOGOPTIONS current = 0;
        dialog.p->GetOptions(&current);
        dialog.p->SetOptions((current & ~params.options_mask) | params.options_to_set);
    }
    if (params.title)
        dialog.p->SetTitle(params.title->c_str());
    if (params.file_name)
        dialog.p->SetFileName(params.file_name->c_str());
    if (params.ok_label)
        dialog.p->SetOkButtonLabel(params.ok_label->c_str());
    if (params.file_type_index != -1)
        dialog.p->SetFileTypeIndex(static_cast<UINT>(params.file_type_index + 1));
    if (!params.default_folder.empty()) {
        com_release_guard<IShellItem> folder;
        if (SUCCEEDED(SHCreateItemFromParsingName(params.default_folder.c_str(), nullptr, IID_PPV_ARGS(&folder.p))))
            dialog.p->SetDefaultFolder(folder.p);
    }
    if (FAILED(dialog.p->Show(owner)))
        return std::nullopt;
    com_release_guard<IShellItem> item;
    if (FAILED(dialog.p->GetResult(&item.p)) || !item.p)
        return std::nullopt;
    SFGAOF attributes = 0;
    if (FAILED(item.p->GetAttributes(SFGAO_FILESYSTEM, &attributes)) || !(attributes & SFGAO_FILESYSTEM))
        return std::nullopt;
    PWSTR name = nullptr;
    if (FAILED(item.p->GetDisplayName(SIGDN_FILESYSPATH, &name)) || !name)
        return std::nullopt;
    picked_item picked{name, -1};
    CoTaskMemFree(name);
    UINT index = 0;
    if (SUCCEEDED(dialog.p->GetFileTypeIndex(&index)))
        picked.file_type_index = static_cast<int>(index) - 1;
    return picked;
}

future<void> run_convert_command(folder_command_host& host, std::wstring path)
{
    HWND main = host.main_window();
    if (is_volume_root(path)) {
        message_box(main, L"Converting a volume root is prohibited.", MB_ICONERROR);
        co_return;
    }
    // One form for the checks, the call and the list: a spelling the checks do not know, or a
    // relative path the service would resolve in its own directory, never reaches it.
    std::wstring folder;
    try {
        folder = canonical_folder_path(path);
    } catch (const traceable_error& e) {
        message_box(main, format_error_text(L"Unable to convert folder: {0} ({1ub016x}).", e.code()), MB_ICONERROR);
        co_return;
    }
    if (is_volume_root(folder)) {
        message_box(main, L"Converting a volume root is prohibited.", MB_ICONERROR);
        co_return;
    }
    folder_paths::lower_case_in_place(folder);
    for (const std::wstring& listed : host.folders()) {
        if (is_same_or_inside(folder, listed)) {
            message_box(main, L"Deduplicated folder cannot be created inside another deduplicated folder.",
                        MB_ICONERROR);
            co_return;
        }
    }
    if (is_known_system_folder(folder, host.known_folders())) {
        message_box(main, L"Converting a system folder is prohibited.", MB_ICONERROR);
        co_return;
    }
    const bool non_empty = folder_has_entries(folder);
    if (non_empty &&
        message_box(main, L"Are you sure you want to convert an existing folder to deduplicated folder?",
                    MB_YESNO | MB_ICONQUESTION) != IDYES)
        co_return;
    HRESULT failure = S_OK;
    try {
        const long hr = co_await host.ui().await(host.services().convert(folder));
        if (hr < 0)
            throw_hresult(hr);
        host.folders().push_back(folder);
        host.fill_folder_list();
        host.select(static_cast<int>(host.folders().size()) - 1);
        host.enable_commands();
        if (non_empty && message_box(main, L"Folder successfully converted. Do you want to start the Optimize operation now?",
                                     MB_YESNO | MB_ICONQUESTION) == IDYES)
            (void)optimize_selected_folder(host); // released: it runs on by itself
    } catch (const traceable_error& e) {
        failure = e.code();
    }
    if (failure == S_OK || host.closing())
        co_return;
    message_box(main, format_error_text(L"Unable to convert folder: {0} ({1ub016x}).", failure), MB_ICONERROR);
    host.enable_commands();
}

future<void> create_in_folder(folder_command_host& host, std::wstring path, folder_picker picker)
{
    pick_folder_params params;
    params.options_to_set = FOS_PICKFOLDERS;
    params.options_mask = FOS_PICKFOLDERS;
    params.default_folder = std::move(path);
    std::optional<picked_item> picked = picker ? picker(host.main_window(), params) : std::nullopt;
    if (!picked || picked->path.empty())
        co_return;
    co_await run_convert_command(host, std::move(picked->path));
}

future<void> optimize_folder(folder_command_host& host, std::wstring path)
{
    host.disable_commands();
    std::shared_ptr<progress_dlg> dialog;
    HRESULT failure = S_OK;
    std::optional<std::wstring> text;
    try {
        dialog = make_progress_dlg(host.main_window(), L"Folder Optimization");
        const std::optional<std::wstring> folder = folder_verb_form(path);
        if (!folder)
            throw_hresult(E_INVALIDARG);
        const std::uint64_t t0 = optimize_now();
        std::expected<dedup::resync_stats, long> reply = co_await host.ui().await(host.services().resync(*folder, dialog));
        const std::uint64_t t1 = optimize_now();
        dialog.reset();
        host.enable_commands();
        if (!reply)
            throw_hresult(reply.error());
        text = format_optimize_result(*reply, static_cast<double>(t1 - t0) * 1e-7);
    } catch (const traceable_error& e) {
        failure = e.code();
    }
    dialog.reset();
    if (text) {
        show_result_dialog(host.main_window(), L"Operation Result", *text);
        co_return;
    }
    if (host.closing())
        co_return;
    host.enable_commands();
    // Without an owner, as the optimize error has always been shown.
    message_box(nullptr, format_error_text(L"Error occurred during folder optimization: {0} ({1ub016x})", failure),
                MB_ICONERROR);
}

future<void> recover_folder(folder_command_host& host, std::wstring path)
{
    HWND main = host.main_window();
    if (message_box(main,
                    L"Recover operation will try to restore recently deleted files and folders.\n\nNote that if Optimize "
                    L"operation has already been performed, the recover operation will not succeed in recovering "
                    L"deleted files.\n\nDo you want to continue?",
                    MB_YESNO | MB_ICONQUESTION) != IDYES)
        co_return;
    host.disable_commands();
    HRESULT failure = S_OK;
    try {
        const std::optional<std::wstring> folder = folder_verb_form(path);
        if (!folder)
            throw_hresult(E_INVALIDARG);
        std::expected<dedup::recover_stats, long> reply = co_await host.ui().await(host.services().recover(*folder));
        if (!reply)
            throw_hresult(reply.error());
        host.enable_commands();
        message_box(main, format_recover_result(*reply), MB_ICONINFORMATION);
    } catch (const traceable_error& e) {
        failure = e.code();
    }
    if (failure == S_OK || host.closing())
        co_return;
    host.enable_commands();
    message_box(main, format_error_text(L"Error occurred during recover operation: {0} ({1ub016x})", failure),
                MB_ICONERROR);
}

future<void> delete_folder(folder_command_host& host, std::size_t index)
{
    if (index >= host.folders().size())
        co_return;
    // The path is taken once: a refresh that resumes while the question is open may rebuild the
    // list, and the entry at `index` may then be another folder.
    const std::wstring path = host.folders()[index];
    HWND main = host.main_window();
    host.disable_commands();
    HRESULT failure = S_OK;
    try {
        long hr = co_await host.ui().await(host.services().delete_folder(path, false));
        if (hr == directory_not_empty) {
            if (message_box(main,
                            L"The folder is not empty. Are you sure you still want to delete it? You WILL NOT be able "
                            L"to recover your files!",
                            MB_YESNO | MB_DEFBUTTON2) != IDYES) {
                host.enable_commands();
                co_return;
            }
            hr = co_await host.ui().await(host.services().delete_folder(path, true));
        }
        if (hr < 0)
            throw_hresult(hr);
        std::vector<std::wstring>& folders = host.folders();
        const auto found = std::find(folders.begin(), folders.end(), path);
        if (found != folders.end())
            folders.erase(found);
        const int previous = host.fill_folder_list();
        host.select(previous < static_cast<int>(folders.size()) ? previous : -1);
        host.enable_commands();
    } catch (const traceable_error& e) {
        failure = e.code();
    }
    if (failure == S_OK || host.closing())
        co_return;
    message_box(main, format_error_text(L"Unable to delete folder: {0} ({1ub016x}).", failure), MB_ICONERROR);
    host.enable_commands();
}

future<void> optimize_selected_folder(folder_command_host& host)
{
    const int selected = host.selected_index();
    if (selected < 0 || static_cast<std::size_t>(selected) >= host.folders().size())
        co_return;
    co_await optimize_folder(host, host.folders()[static_cast<std::size_t>(selected)]);
}

future<void> recover_selected_folder(folder_command_host& host)
{
    const int selected = host.selected_index();
    if (selected < 0 || static_cast<std::size_t>(selected) >= host.folders().size())
        co_return;
    co_await recover_folder(host, host.folders()[static_cast<std::size_t>(selected)]);
}

future<void> delete_selected_folder(folder_command_host& host)
{
    const int selected = host.selected_index();
    if (selected < 0)
        co_return;
    co_await delete_folder(host, static_cast<std::size_t>(selected));
}
