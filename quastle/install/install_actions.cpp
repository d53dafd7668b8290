#include <quastle/install/install_actions.h>

#include <quillo/render.h>

#include <new>

namespace quastle {
namespace {

HRESULT failure_of_current_exception() noexcept
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// A step after which something may need undoing: its failures, thrown ones too, become an HRESULT.
template <class F>
HRESULT guarded(F&& step) noexcept
{
    try {
        return step();
    } catch (...) {
        return failure_of_current_exception();
    }
}

// An undo is done as far as it goes; the failure it answers for is what the caller reports.
template <class F>
void undo(F&& step) noexcept
{
    try {
        step();
    } catch (...) {
    }
}

} // namespace

install_actions::install_actions(install_platform& platform, std::wstring folder, std::chrono::milliseconds service_wait)
    : platform_(platform), folder_(std::move(folder)), service_wait_(service_wait)
{
    if (!folder_.empty() && folder_.back() == L'\\')
        folder_.pop_back();
}

HRESULT install_actions::check_folder(const wchar_t* folder) noexcept
{
    if (!folder || !*folder)
        return E_INVALIDARG;
    const std::wstring_view text(folder);
    if (text.find(L'"') != std::wstring_view::npos)
        return E_INVALIDARG;
    // Absolute: a drive with its root ("C:\...") or a UNC or device path ("\\...").
    const bool drive = text.size() >= 3 && text[1] == L':' && text[2] == L'\\' &&
                       ((text[0] >= L'A' && text[0] <= L'Z') || (text[0] >= L'a' && text[0] <= L'z'));
    const bool unc = text.size() >= 3 && text[0] == L'\\' && text[1] == L'\\';
    return drive || unc ? S_OK : E_INVALIDARG;
}

HRESULT install_actions::run(std::int32_t action, HWND owner, std::uint32_t flags, self_install_callback* callback) noexcept
{
    try {
        switch (static_cast<install_action>(action)) {
        case install_action::install: return install(owner, (flags & 1) != 0, callback);
        case install_action::stop_service: return stop_service();
        case install_action::start_service: return start_service();
        case install_action::uninstall: return uninstall();
        }
        return E_FAIL;
    } catch (...) {
        return failure_of_current_exception();
    }
}

std::wstring install_actions::service_command() const { return L"\"" + folder_ + L"\\ebrisk.exe\""; }
std::wstring install_actions::package_file() const { return folder_ + L"\\dedup.msix"; }

HRESULT install_actions::ensure_projfs(HWND owner, bool silent, self_install_callback* callback)
{
    if (platform_.projfs_present())
        return S_OK;
    if (!silent && !platform_.confirm_enable_projfs(owner))
        return E_ABORT;
    const std::wstring command = quillo::format(
        L"powershell.exe -NoLogo -NonInteractive {0?<}-WindowStyle Hidden {0?>}-Command \"Enable-WindowsOptionalFeature "
        L"-Online -FeatureName Client-ProjFS -NoRestart\"",
        silent);
    // The program by its full path in the system folder: a search would look in the installer's
    // (temporary, writable) folder first, and whatever lay there would run elevated.
    const std::wstring application = platform_.system_directory() + L"\\WindowsPowerShell\\v1.0\\powershell.exe";
    if (callback)
        callback->set_busy(true);
    return platform_.run_and_wait(application, command);
}

HRESULT install_actions::install(HWND owner, bool silent, self_install_callback* callback)
{
    // Every text the steps need is made before the first change: running out of memory later would
    // leave a step done that nothing undoes.
    const std::wstring command = service_command();
    const std::wstring package = package_file();
    if (const HRESULT hr = ensure_projfs(owner, silent, callback); FAILED(hr))
        return hr;
    const bool windows_11 = platform_.windows_11();
    if (windows_11)
        if (const HRESULT hr = platform_.add_sparse_package(folder_, package); FAILED(hr))
            return hr;
    if (const HRESULT hr = guarded([&] { return platform_.create_service(command); }); FAILED(hr)) {
        if (windows_11)
            undo([&] { platform_.remove_sparse_package(); });
        return hr;
    }
    undo([&] { platform_.start_service(); });
    return S_OK;
}

HRESULT install_actions::stop_service() { return platform_.stop_service(service_wait_); }

HRESULT install_actions::start_service()
{
    platform_.start_service();
    return S_OK;
}

HRESULT install_actions::uninstall()
{
    const std::wstring command = service_command();
    // A missing service counts as stopped, as the deletion counts it as deleted: a product whose
    // service is already gone (a rolled-back uninstall) can still be removed or repaired.
    if (const HRESULT hr = platform_.stop_service(service_wait_); FAILED(hr) && hr != service_missing_hresult)
        return hr;
    if (const HRESULT hr = guarded([&] { return platform_.delete_service(service_wait_); }); FAILED(hr)) {
        undo([&] { platform_.start_service(); });
        return hr;
    }
    if (const HRESULT hr = guarded([&] { return platform_.windows_11() ? platform_.remove_sparse_package() : S_OK; });
        FAILED(hr)) {
        undo([&] {
            platform_.create_service(command);
            platform_.start_service();
        });
        return hr;
    }
    return S_OK;
}

} // namespace quastle
