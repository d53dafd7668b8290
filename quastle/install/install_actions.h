#pragma once
// The install-time actions the installer asks of the shell extension: make sure the Projected
// File System is present, register the sparse package on Windows 11, and create, start, stop and
// delete the service "quvandedup". A failing step undoes the steps before it that can be undone.
// Every outcome is an HRESULT.
//
// Everything the actions touch outside themselves goes through install_platform, one interface
// given at construction: the export passes the real system, tests a recording fake.

#include <quastle/self_install_callback.h>

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <string>

namespace quastle {

inline constexpr HRESULT service_exists_hresult = static_cast<HRESULT>(0x800700B7);      // ERROR_ALREADY_EXISTS
inline constexpr HRESULT service_missing_hresult = static_cast<HRESULT>(0x80070424);     // ERROR_SERVICE_DOES_NOT_EXIST
inline constexpr HRESULT service_wait_timeout_hresult = static_cast<HRESULT>(0x8007041D); // ERROR_SERVICE_REQUEST_TIMEOUT

class install_platform {
public:
    virtual ~install_platform() = default;

    // The Projected File System's library loads from the system folder.
    virtual bool projfs_present() = 0;
    // The question before enabling it; true for OK.
    virtual bool confirm_enable_projfs(HWND owner) = 0;
    // The system folder ("C:\Windows\system32"), where the programs the actions start come from.
    virtual std::wstring system_directory() = 0;
    // Starts `application` with `command_line` and waits, without limit, until it ends; its exit
    // code is not looked at. A program that cannot be started: the HRESULT of the error.
    virtual HRESULT run_and_wait(const std::wstring& application, const std::wstring& command_line) = 0;
    virtual bool windows_11() = 0;
    virtual HRESULT add_sparse_package(const std::wstring& folder, const std::wstring& package_file) = 0;
    virtual HRESULT remove_sparse_package() = 0;
    // Creates the service with the product's settings and `command` as its program line:
    // service_exists_hresult when it is there already.
    virtual HRESULT create_service(const std::wstring& command) = 0;
    // Starts the service if it can be opened; nothing is reported.
    virtual void start_service() = 0;
    // Asks the service to stop and waits, at most `bound`, while it is running or stopping:
    // service_missing_hresult for a missing service, service_wait_timeout_hresult after the bound.
    virtual HRESULT stop_service(std::chrono::milliseconds bound) = 0;
    // Stops (as above) and deletes the service; a missing service counts as deleted.
    virtual HRESULT delete_service(std::chrono::milliseconds bound) = 0;
};

enum class install_action : std::int32_t { install = 0, stop_service = 1, start_service = 2, uninstall = 3 };

class install_actions {
public:
    // `folder`: the installation folder, one trailing backslash removed.
    install_actions(install_platform& platform, std::wstring folder,
                    std::chrono::milliseconds service_wait = std::chrono::seconds(60));

    // Checks the folder as the installer passes it: null, empty, relative or holding a double
    // quote (it is placed inside quotes on the service's program line) is E_INVALIDARG.
    static HRESULT check_folder(const wchar_t* folder) noexcept;

    HRESULT run(std::int32_t action, HWND owner, std::uint32_t flags, self_install_callback* callback) noexcept;

    HRESULT install(HWND owner, bool silent, self_install_callback* callback);
    HRESULT stop_service();
    HRESULT start_service();
    HRESULT uninstall();

    HRESULT ensure_projfs(HWND owner, bool silent, self_install_callback* callback);
    // The service's program line: the program in double quotes, so that a folder with blanks never
    // starts a program at one of its prefixes ("C:\Program.exe").
    std::wstring service_command() const;
    std::wstring package_file() const;

private:
    install_platform& platform_;
    std::wstring folder_;
    std::chrono::milliseconds service_wait_;
};

} // namespace quastle
