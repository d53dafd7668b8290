#include <tolvane/install_transaction.h>

#include <algorithm>

#include <shlobj.h>

#include <quillo/render.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>
#include <tolvane/feature.h>
#include <tolvane/guid.h>
#include <tolvane/install_sequences.h>
#include <tolvane/package.h>
#include <tolvane/package_source.h>
#include <tolvane/product_removal.h>
#include <tolvane/setup_ui.h>
#include <tolvane/uninstall_entry.h>

namespace tolvane {

HRESULT run_queues(package& pkg, queue_init& queues, SetupUiInterface* ui, std::wstring& log, std::uint32_t type,
                   bool windows_11)
{
    // Checked before anything is changed: an unknown type, or an installation folder that an unset
    // or empty property left relative or at a drive's root.
    if (type < 1 || type > 4) {
        log += quillo::format(L"*** Invalid installation type {0}\r\n", type);
        return E_INVALIDARG;
    }
    for (const wchar_t* name : {L"INSTALLDIR", L"STARTMENU"}) {
        const std::wstring folder = pkg.get_property(name, true);
        if (folder.empty() && std::wstring_view(name) == L"STARTMENU")
            continue;
        if (std::wstring reason = check_install_folder(folder); !reason.empty()) {
            log += L"*** " + std::wstring(name) + L" \"" + folder + L"\": expected " + reason + L"\r\n";
            return E_INVALIDARG;
        }
    }

    auto& calls = pkg.calls();
    HANDLE transaction = nullptr;
    if (!windows_11 && pkg.get_property(L"NoTransactions", true).empty())
        transaction = calls.create_transaction(transaction_description);

    HRESULT hr = S_OK;
    for (;;) {
        log += quillo::format(L"*** Starting. Type={0}, Mode={1}, Portable={3}, Transaction={2}\r\n", type,
                              pkg.options().mode, transaction ? 1u : 0u, pkg.is_portable() ? 1u : 0u);
        ActionQueue undo;
        hr = queues.main.run(log, pkg, &undo, transaction, ui, true);
        if (ui)
            ui->enable_cancel(false);
        if (hr < 0 && transaction) {
            log += L"*** Rolling back transaction\r\n";
            if (ui) {
                ui->set_progress(indeterminate_progress);
                ui->set_status(std::wstring(L"Rolling back changes"));
            }
            calls.rollback_transaction(transaction);
            calls.close_transaction(transaction);
            transaction = nullptr;
            // Only what the kernel cannot undo was recorded in this attempt.
            undo.run_rollback(log, pkg, ui);
            if (ui)
                ui->enable_cancel(true);
            continue;
        }
        if (hr < 0) {
            log += L"*** Non-transaction rollback\r\n";
            if (ui)
                ui->set_status(std::wstring(L"Rolling back changes"));
            undo.run_rollback(log, pkg, ui);
            break;
        }
        if (transaction) {
            log += L"*** Committing transaction\r\n";
            if (ui) {
                ui->set_progress(indeterminate_progress);
                ui->set_status(std::wstring(L"Committing changes"));
            }
            const BOOL committed = calls.commit_transaction(transaction);
            calls.close_transaction(transaction);
            transaction = nullptr;
            if (!committed) {
                // Everything went back with the failed commit, except what the export did.
                undo.run_rollback(log, pkg, ui);
                continue;
            }
        }
        break;
    }
    if (hr >= 0) {
        log += L"*** Post-install actions (always succeed)\r\n";
        HRESULT post = queues.post_install.run(log, pkg, nullptr, nullptr, ui, true);
        hr = std::max(hr, post);
    }
    log += L"*** Done\r\n";
    return hr;
}

namespace {

// Why the run cannot start (empty when it can): an unknown type, or an installation folder that an
// unset or empty property left relative or at a drive's root.
std::wstring refuse_run(const package& pkg, std::uint32_t type)
{
    if (type < 1 || type > 5)
        return quillo::format(L"*** Invalid installation type {0}\r\n", type);
    for (const wchar_t* name : {L"INSTALLDIR", L"STARTMENU"}) {
        const std::wstring folder = pkg.get_property(name, true);
        if (folder.empty() && std::wstring_view(name) == L"STARTMENU")
            continue;
        if (std::wstring reason = check_install_folder(folder); !reason.empty())
            return L"*** " + std::wstring(name) + L" \"" + folder + L"\": expected " + reason + L"\r\n";
    }
    return {};
}

// Removes the backup folder with the copies it holds when the run ends, however it ends.
struct backup_folder_guard {
    package& pkg;
    ~backup_folder_guard()
    {
        if (!pkg.backup_folder().empty())
            remove_directory_tree(platform::ktm::system_transactions(), pkg.backup_folder(), true, nullptr);
    }
};

std::wstring first_log_line(const package& pkg)
{
    SYSTEMTIME t{};
    GetSystemTime(&t);
    return quillo::format(L"{0w2arf0}.{1w2arf0}.{2w4arf0} {3w2arf0}:{4w2arf0}:{5w2arf0} >> {6} >>\r\n", t.wDay, t.wMonth,
                          t.wYear, t.wHour, t.wMinute, t.wSecond, pkg.get_property(L"LongName", true));
}

void remove_incompatible_products(package& pkg, std::wstring& log)
{
    const std::wstring list = pkg.get_property(L"RemoveAppIDs", false);
    if (list.empty())
        return;
    std::size_t from = 0;
    for (;;) {
        const std::size_t comma = list.find(L',', from);
        const std::wstring id = list.substr(from, comma == std::wstring::npos ? std::wstring::npos : comma - from);
        const std::wstring key = uninstall_key_base + id;
        HKEY found = nullptr;
        HKEY probe = nullptr;
        if (RegOpenKeyExW(HKEY_CURRENT_USER, key.c_str(), 0, MAXIMUM_ALLOWED, &probe) == ERROR_SUCCESS)
            found = HKEY_CURRENT_USER;
        else if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, MAXIMUM_ALLOWED, &probe) == ERROR_SUCCESS)
            found = HKEY_LOCAL_MACHINE;
        if (probe)
            RegCloseKey(probe);
        if (found) {
            if (const std::int32_t code = remove_incompatible_product(pkg, log, pkg.has_no_window(), found, key))
                throw installation_exception(code);
        }
        if (comma == std::wstring::npos)
            break;
        from = comma + 1;
    }
}

} // namespace

tavik::details::future<void> install_transaction(package& pkg, SetupUiInterface* ui)
{
    using namespace tavik::details;
    co_await resume_on_thread_pool{};
    if (pkg.cancellation().is_cancelled())
        throw_operation_cancelled();

    pkg.set_ui(ui);
    std::wstring log = first_log_line(pkg);
    pkg.prepare_run();
    auto& options = pkg.options();

    if (std::wstring refused = refuse_run(pkg, static_cast<std::uint32_t>(options.type)); !refused.empty()) {
        log += refused;
        write_setup_log(setup_log_path(), log);
        throw hresult_error(E_INVALIDARG);
    }

    remove_incompatible_products(pkg, log);
    if (options.type == install_type_remove_previous) {
        remove_previous_version(pkg, log, true);
        options.type = install_type_install;
    }
    const auto type = static_cast<std::uint32_t>(options.type);
    if ((type == install_type_install || type == install_type_update) && options.silent && ui) {
        const std::vector<feature_selection> selection = ui->get_feature_selection();
        if (!selection.empty() && pkg.root_feature())
            pkg.root_feature()->apply_selection(selection);
    }

    wchar_t temp[MAX_PATH + 1];
    const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring backup(temp, n);
    if (!backup.empty() && backup.back() != L'\\')
        backup += L'\\';
    backup += new_guid_text();
    pkg.set_backup_folder(backup);
    backup_folder_guard remove_backup{pkg};
    if (!CreateDirectoryW(backup.c_str(), nullptr) && GetLastError() == ERROR_PATH_NOT_FOUND) {
        create_directory_tree(pkg, backup, nullptr);
        CreateDirectoryW(backup.c_str(), nullptr);
    }

    queue_init queues;
    if (!init_queue(pkg, type, queues))
        throw hresult_error(E_INVALIDARG);

    restore_point_info point{};
    restore_point_status point_status{};
    bool restore_point_made = false;
    if (!pkg.is_portable()) {
        point.event_type = 100;
        point.restore_point_type = queues.restore_point_type;
        const std::size_t length = std::min<std::size_t>(queues.restore_point_description.size(), 255);
        std::copy_n(queues.restore_point_description.data(), length, point.description);
        if (ui) {
            ui->set_status(std::wstring(L"Creating System Restore point"));
            ui->set_progress(indeterminate_progress);
            ui->enable_cancel(false);
        }
        restore_point_made = pkg.platform().set_restore_point(point, point_status) != FALSE;
        if (ui)
            ui->enable_cancel(true);
        if (restore_point_made)
            log += L"*** Restore Point \"" + queues.restore_point_description + L"\" created\r\n";
    }

    if (ui)
        ui->set_status(std::wstring(L"Preparing for install"));
    if (pkg.cancellation().is_cancelled())
        throw_operation_cancelled();
    for (const auto& [id, source] : pkg.sources())
        co_await source->extraction();

    HRESULT hr = run_queues(pkg, queues, ui, log, type, pkg.windows().windows_11);

    if (hr < 0) {
        const bool locked = hr == sharing_violation_hresult;
        if (restore_point_made) {
            restore_point_info end{};
            end.event_type = 101;
            end.restore_point_type = 13;
            end.sequence = point_status.sequence;
            restore_point_status ignored{};
            pkg.platform().set_restore_point(end, ignored);
            log += L"*** System Restore point canceled\r\n";
        }
        if (!locked && hr != E_ABORT) {
            const std::wstring path = setup_log_path();
            write_setup_log(path, log);
            if (!options.silent || options.allow_error)
                pkg.platform().message_box(
                    nullptr,
                    L"Setup has encountered an error and rolled back performed actions. Setup Log file has been written "
                    L"to:\r\n\n"
                        + path
                        + L"\r\n\nPlease send the log file to us for assistance.\r\n\nYou may also try running Setup "
                          L"again after restarting your computer.",
                    L"Setup Error", MB_OK);
        }
        throw hresult_error(hr);
    }
    if (restore_point_made) {
        restore_point_info end{};
        end.event_type = 101;
        end.restore_point_type = queues.restore_point_type;
        end.sequence = point_status.sequence;
        restore_point_status ignored{};
        pkg.platform().set_restore_point(end, ignored);
        log += L"*** System Restore point committed\r\n";
    }
    SHChangeNotify(SHCNE_ASSOCCHANGED, SHCNF_IDLIST, nullptr, nullptr);
    if (hr == S_FALSE) {
        write_pending_reboot(get_boot_time());
        throw hresult_error(1);
    }
}

std::wstring setup_log_path()
{
    wchar_t temp[MAX_PATH + 1];
    DWORD n = GetTempPathW(MAX_PATH + 1, temp);
    std::wstring path(temp, n);
    if (!path.empty() && path.back() != L'\\')
        path += L'\\';
    return path + L"Quvan Setup Log.txt";
}

bool write_setup_log(const std::wstring& path, const std::wstring& log)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    static const unsigned char bom[] = {0xFF, 0xFE};
    DWORD n = 0;
    bool ok = WriteFile(h, bom, 2, &n, nullptr) && n == 2;
    const auto bytes = static_cast<DWORD>(log.size() * sizeof(wchar_t));
    ok = ok && (bytes == 0 || (WriteFile(h, log.data(), bytes, &n, nullptr) && n == bytes));
    CloseHandle(h);
    return ok;
}

} // namespace tolvane
