#include <quastle/install/system_platform.h>
#include <quastle/install/sparse_package.h>

#include <string>

namespace quastle {
namespace {

constexpr wchar_t service_name[] = L"quvandedup";

HRESULT last_error() noexcept { return HRESULT_FROM_WIN32(GetLastError()); }

// One owner per service-manager handle; closes it on every way out.
class service_handle_closing {
public:
    explicit service_handle_closing(SC_HANDLE handle) noexcept : handle_(handle) {}
    ~service_handle_closing()
    {
        if (handle_)
            CloseServiceHandle(handle_);
    }
    service_handle_closing(const service_handle_closing&) = delete;
    service_handle_closing& operator=(const service_handle_closing&) = delete;
    SC_HANDLE get() const noexcept { return handle_; }
    explicit operator bool() const noexcept { return handle_ != nullptr; }

private:
    SC_HANDLE handle_;
};

// Waits while the service is stopping or running, checking every `period`; a failing status query
// ends the wait. A service still not stopped after `bound`: ERROR_SERVICE_REQUEST_TIMEOUT.
HRESULT wait_until_stopped(SC_HANDLE service, DWORD state, DWORD period, std::chrono::milliseconds bound)
{
    const ULONGLONG start = GetTickCount64();
    while (state == SERVICE_STOP_PENDING || state == SERVICE_RUNNING) {
        if (GetTickCount64() - start >= static_cast<ULONGLONG>(bound.count()))
            return service_wait_timeout_hresult;
        Sleep(period);
        SERVICE_STATUS status{};
        if (!QueryServiceStatus(service, &status))
            return S_OK;
        state = status.dwCurrentState;
    }
    return S_OK;
}

} // namespace

const os_version& os_version::current()
{
    static const os_version version = [] {
        OSVERSIONINFOW info{};
        info.dwOSVersionInfoSize = sizeof(info);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-declarations"
        GetVersionExW(&info);
#pragma GCC diagnostic pop
        const DWORD v = info.dwMajorVersion * 100 + info.dwMinorVersion;
        return os_version{v > 600, v > 601, v > 602, v >= 1000, v >= 1000 && info.dwBuildNumber >= 22000};
    }();
    return version;
}

bool system_platform::projfs_present()
{
    // Only the system folder: a search would try the installer's own (temporary) folder first.
    const HMODULE library = LoadLibraryExW(L"ProjectedFSLib.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    if (!library)
        return false;
    FreeLibrary(library);
    return true;
}

bool system_platform::confirm_enable_projfs(HWND owner)
{
    return MessageBoxW(owner,
                       L"Quvan Software Tovalind requires an optional Windows component called Projected File System "
                       L"which is currently missing. Setup will now enable Projected File System. Nothing will be "
                       L"downloaded during this process.\n\nThis might take a few minutes. Press OK to continue and "
                       L"Cancel to cancel setup.",
                       L"Quvan Software Tovalind Setup", MB_OKCANCEL | MB_ICONINFORMATION) == IDOK;
}

std::wstring system_platform::system_directory()
{
    std::wstring folder(MAX_PATH, L'\0');
    for (;;) {
        const UINT length = GetSystemDirectoryW(folder.data(), static_cast<UINT>(folder.size()));
        if (length == 0)
            return {};
        if (length < folder.size()) {
            folder.resize(length);
            return folder;
        }
        folder.resize(length);
    }
}

HRESULT system_platform::run_and_wait(const std::wstring& application, const std::wstring& command_line)
{
    std::wstring line = command_line;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_FORCEOFFFEEDBACK;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(application.c_str(), line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW | NORMAL_PRIORITY_CLASS,
                        nullptr, nullptr, &startup, &process))
        return last_error();
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    CloseHandle(process.hProcess);
    return S_OK;
}

bool system_platform::windows_11() { return os_version::current().windows_11; }

HRESULT system_platform::add_sparse_package(const std::wstring& folder, const std::wstring& package_file)
{
    return quastle::add_sparse_package(runtime_, folder, package_file);
}

HRESULT system_platform::remove_sparse_package() { return quastle::remove_sparse_package(runtime_); }

HRESULT system_platform::create_service(const std::wstring& command)
{
    service_handle_closing manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_CREATE_SERVICE));
    if (!manager)
        return last_error();
    if (service_handle_closing existing(OpenServiceW(manager.get(), service_name, MAXIMUM_ALLOWED)); existing)
        return service_exists_hresult;
    service_handle_closing service(CreateServiceW(manager.get(), service_name,
                                                  L"Quvan Software Folder Deduplication Service", SERVICE_ALL_ACCESS,
                                                  SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                                  command.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr));
    if (!service)
        return last_error();
    SERVICE_DESCRIPTIONW description{const_cast<wchar_t*>(L"This service manages folder deduplication instances.")};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DESCRIPTION, &description);
    SERVICE_DELAYED_AUTO_START_INFO delayed{TRUE};
    ChangeServiceConfig2W(service.get(), SERVICE_CONFIG_DELAYED_AUTO_START_INFO, &delayed);
    return S_OK;
}

void system_platform::start_service()
{
    service_handle_closing manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return;
    service_handle_closing service(OpenServiceW(manager.get(), service_name, MAXIMUM_ALLOWED));
    if (service)
        StartServiceW(service.get(), 0, nullptr);
}

HRESULT system_platform::stop_service(std::chrono::milliseconds bound)
{
    service_handle_closing manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return last_error();
    service_handle_closing service(OpenServiceW(manager.get(), service_name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service)
        return last_error();
    SERVICE_STATUS status{};
    if (!ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_NOT_ACTIVE)
            return S_OK;
        return HRESULT_FROM_WIN32(error);
    }
    return wait_until_stopped(service.get(), status.dwCurrentState, 500, bound);
}

HRESULT system_platform::delete_service(std::chrono::milliseconds bound)
{
    service_handle_closing manager(OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
    if (!manager)
        return last_error();
    service_handle_closing service(OpenServiceW(manager.get(), service_name, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE));
    if (!service) {
        const DWORD error = GetLastError();
        return error == ERROR_SERVICE_DOES_NOT_EXIST ? S_OK : HRESULT_FROM_WIN32(error);
    }
    SERVICE_STATUS status{};
    if (ControlService(service.get(), SERVICE_CONTROL_STOP, &status)) {
        if (const HRESULT hr = wait_until_stopped(service.get(), status.dwCurrentState, 1000, bound); FAILED(hr))
            return hr;
    } else if (GetLastError() != ERROR_SERVICE_NOT_ACTIVE) {
        return last_error();
    }
    return DeleteService(service.get()) ? S_OK : last_error();
}

} // namespace quastle
