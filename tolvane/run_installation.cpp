#include <tolvane/run_installation.h>

#include <shellapi.h>

#include <quillo/render.h>
#include <tavik/error.h>
#include <tolvane/command_line.h>
#include <tolvane/install_transaction.h>
#include <tolvane/launcher.h>
#include <tolvane/package.h>
#include <tolvane/startup.h>

namespace tolvane {

namespace {

constexpr std::int32_t elevation_required = 740; // ERROR_ELEVATION_REQUIRED

void CALLBACK handle_signalled(PTP_CALLBACK_INSTANCE, void* context, PTP_WAIT, TP_WAIT_RESULT)
{
    static_cast<tavik::details::promise_type_<void>*>(context)->set_value();
}

} // namespace

tavik::details::future<void> wait_for_handle(HANDLE handle)
{
    using namespace tavik::details;
    if (WaitForSingleObject(handle, 0) == WAIT_OBJECT_0)
        co_return;
    auto done = std::make_shared<promise_type_<void>>();
    PTP_WAIT wait = CreateThreadpoolWait(&handle_signalled, done.get(), nullptr);
    if (!wait)
        throw_last_error();
    SetThreadpoolWait(wait, handle, nullptr);
    co_await *done;
    WaitForThreadpoolWaitCallbacks(wait, FALSE);
    CloseThreadpoolWait(wait);
}

std::wstring format_elevated_parameters(const package& pkg, const std::wstring& pipe)
{
    const auto& options = pkg.options();
    std::wstring parameters = quillo::format(L"-machine -silent --allow-error --type {0} --server {1} --source \"{2}\"",
                                             options.type, pipe, pkg.package_folder());
    // Double quotes group a word and cannot be part of one: a pair holding one is not passed on.
    auto add = [&](const std::wstring& name, const std::wstring& value) {
        if (name.find(L'"') == std::wstring::npos && value.find(L'"') == std::wstring::npos)
            parameters += L" --prop \"" + name + L"=" + value + L"\"";
    };
    for (const auto& [name, value] : options.props)
        if (fold_property_name(name) != L"installdir")
            add(name, value);
    add(L"INSTALLDIR", pkg.get_property(L"INSTALLDIR", true));
    return parameters;
}

tavik::details::future<void> run_elevated(package& pkg, SetupUiInterface* ui)
{
    using namespace tavik::details;
    auto& options = pkg.options();
    if (options.silent)
        throw_hresult(E_FAIL);
    pkg.close_installer_mutex();
    std::shared_ptr<package::ui_server_link> server;
    std::wstring pipe;
    if (pkg.ui_server())
        server = pkg.ui_server()(ui, pkg, pipe);
    const std::wstring parameters = format_elevated_parameters(pkg, pipe);
    const std::wstring program = module_path();
    SHELLEXECUTEINFOW info{};
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_UNICODE;
    info.lpVerb = L"runas";
    info.lpFile = program.c_str();
    info.lpParameters = parameters.c_str();
    info.nShow = SW_SHOWDEFAULT;
    if (!ShellExecuteExW(&info) || !info.hProcess)
        throw hresult_error(hresult_from_win32(elevation_required));
    if (server)
        server->serve_process(GetProcessId(info.hProcess));
    DWORD code = 0;
    try {
        co_await wait_for_handle(info.hProcess);
        GetExitCodeProcess(info.hProcess, &code);
    } catch (...) {
        CloseHandle(info.hProcess);
        throw;
    }
    CloseHandle(info.hProcess);
    if (code != 0)
        throw installation_exception(static_cast<std::int32_t>(code));
}

tavik::details::future<void> run_installation(package& pkg, SetupUiInterface* ui)
{
    co_await wait_loaded_async(pkg);
    if (pkg.options().mode == 0 || pkg.platform().is_user_an_admin())
        co_await install_transaction(pkg, ui);
    else
        co_await run_elevated(pkg, ui);
}

} // namespace tolvane
