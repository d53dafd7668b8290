#include <tolvane/install_transaction.h>

#include <algorithm>

#include <quillo/render.h>
#include <tolvane/package.h>
#include <tolvane/setup_ui.h>

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
