#include <tolvane/product_removal.h>

#include <ostrel/registry_ex.h>
#include <tavik/error.h>
#include <tavik/unique_handle.h>
#include <tolvane/command_line.h>
#include <tolvane/launcher.h>
#include <tolvane/package.h>
#include <tolvane/setup_ui.h>
#include <tolvane/uninstall_entry.h>

namespace tolvane {

namespace {

bool key_exists(HKEY root, const std::wstring& path)
{
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, MAXIMUM_ALLOWED, &key) != ERROR_SUCCESS)
        return false;
    RegCloseKey(key);
    return true;
}

std::wstring read_text(HKEY root, const std::wstring& path, const wchar_t* name)
{
    return Ostrel::registry_ex::value(root, path, name).get_string();
}

// QuietUninstallString as it stands, else UninstallString with the switches of this run.
std::wstring uninstall_command(HKEY root, const std::wstring& path, bool silent, bool machine)
{
    std::wstring command = read_text(root, path, L"QuietUninstallString");
    if (!command.empty())
        return command;
    command = read_text(root, path, L"UninstallString");
    if (command.empty())
        return command;
    if (silent)
        command += L" -silent";
    if (machine)
        command += L" -machine";
    return command;
}

void status(package& pkg, const wchar_t* text)
{
    if (SetupUiInterface* ui = pkg.ui()) {
        ui->set_status(std::wstring(text));
        ui->set_progress(indeterminate_progress);
    }
}

} // namespace

std::wstring make_environment_block(const std::map<std::wstring, std::wstring>& environment)
{
    std::wstring block;
    for (const auto& [name, value] : environment) {
        block += name + L"=" + value;
        block += L'\0';
    }
    block += L'\0';
    return block;
}

void run_uninstaller(package& pkg, const std::wstring& command, HKEY root, const std::wstring& gone_key)
{
    using namespace tavik::details;
    pkg.close_installer_mutex();

    auto environment = read_environment(GetEnvironmentStringsW());
    for (const wchar_t* marker : launcher_markers)
        environment.erase(marker);
    std::wstring block = make_environment_block(environment);

    tavik::unique_handle job(CreateJobObjectW(nullptr, nullptr));
    if (!job)
        throw_last_error();
    tavik::unique_handle port(CreateIoCompletionPort(INVALID_HANDLE_VALUE, nullptr, 0, 1));
    if (!port)
        throw_last_error();
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_BREAKAWAY_OK;
    if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits, sizeof(limits)))
        throw_last_error();
    JOBOBJECT_ASSOCIATE_COMPLETION_PORT association{};
    association.CompletionKey = nullptr;
    association.CompletionPort = port.get();
    if (!SetInformationJobObject(job.get(), JobObjectAssociateCompletionPortInformation, &association, sizeof(association)))
        throw_last_error();

    std::wstring line = command;
    STARTUPINFOW si{};
    si.cb = sizeof(si);
    PROCESS_INFORMATION pi{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE,
                        CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT | CREATE_BREAKAWAY_FROM_JOB, block.data(), nullptr,
                        &si, &pi))
        throw_last_error();
    tavik::unique_handle process(pi.hProcess), thread(pi.hThread);
    if (!AssignProcessToJobObject(job.get(), process.get())) {
        const auto error = make_last_error();
        TerminateProcess(process.get(), 1);
        throw error;
    }
    ResumeThread(thread.get());

    DWORD tracked = pi.dwProcessId;
    bool follow_new = true;
    for (;;) {
        DWORD message = 0;
        ULONG_PTR key = 0;
        LPOVERLAPPED data = nullptr;
        if (!GetQueuedCompletionStatus(port.get(), &message, &key, &data, INFINITE))
            return;
        const auto id = static_cast<DWORD>(reinterpret_cast<std::uintptr_t>(data));
        if (message == JOB_OBJECT_MSG_NEW_PROCESS && follow_new && id != pi.dwProcessId) {
            tracked = id;
            follow_new = false;
        } else if ((message == JOB_OBJECT_MSG_EXIT_PROCESS || message == JOB_OBJECT_MSG_ABNORMAL_EXIT_PROCESS) && id == tracked) {
            break;
        } else if (message == JOB_OBJECT_MSG_ACTIVE_PROCESS_ZERO) {
            // The uninstaller started nothing further, or everything it started has ended.
            break;
        }
    }
    if (key_exists(root, gone_key))
        throw_hresult(E_FAIL);
}

std::int32_t remove_incompatible_product(package& pkg, std::wstring& log, bool no_window, HKEY root,
                                         const std::wstring& key_path)
{
    const std::wstring name = read_text(root, key_path, L"DisplayName");
    if (!no_window) {
        const std::wstring question = L"Setup is incompatible with " + name
                                      + L" product installed on your computer. It must be removed before continuing. Do "
                                        L"you want to remove it now?";
        if (pkg.platform().message_box(nullptr, question, L"Setup", MB_YESNO | MB_ICONQUESTION) != IDYES)
            return installation_cancelled;
    }
    try {
        const std::wstring command = uninstall_command(root, key_path, no_window, pkg.options().mode == 1);
        if (command.empty())
            return installation_previous_removal_failed;
        status(pkg, L"Removing incompatible product");
        log += L"Running uninstaller of the previous version\u2026";
        run_uninstaller(pkg, command, root, key_path);
        return 0;
    } catch (...) {
        return installation_previous_removal_failed;
    }
}

void remove_previous_version(package& pkg, std::wstring& log, bool silent)
{
    const HKEY root = pkg.product_root();
    const std::wstring path = uninstall_key_path(pkg);
    const std::wstring command = uninstall_command(root, path, silent, pkg.options().mode == 1);
    if (command.empty())
        tavik::details::throw_hresult(E_INVALIDARG);
    status(pkg, L"Removing previous version");
    log += L"Running uninstaller of the previous version...";
    run_uninstaller(pkg, command, root, path);
}

} // namespace tolvane
