#pragma once
// The package's start-up: "config.ini" into the properties, the installed product and the run
// type, the single-instance checks, the components, features and feature sets (built beside the
// rest on the thread pool, which also starts the archive's extraction), the folder variables, the
// package size, the installed feature states and, in interactive runs, the product icon.
//
// Contract of startup_async: started once per package by package_load; completes on a thread-pool
// thread and never fails: a failure goes to the package's signals. `config_ready` gets the first
// failure; `loaded` fails with it too, so that whoever waits for the complete package ends. An
// uninstallation of a product that is not installed fails `config_ready` with E_INVALIDARG and
// still completes `loaded`.

#include <string>

#include <windows.h>

#include <tavik/future.h>

namespace tolvane {

class package;

inline constexpr wchar_t installer_mutex_name[] = L"Global\\Ravelwin_Running_{EFD1CC5A-81C8-4BD5-95BB-79A1A53D87B4}";

tavik::details::future<void> startup_async(package& pkg, std::wstring package_folder, bool interactive);

// Completes when `config_ready` and `icon_ready` are both set; fails with the first failure.
tavik::details::future<void> wait_ready_async(package& pkg);

// Completes when `loaded` is set; fails with its failure.
tavik::details::future<void> wait_loaded_async(package& pkg);

// The folder properties: SYSDIR, WINDIR, TEMP, the shell folders, QUICKLAUNCH, DESKTOP, INSTALLDIR
// (from INSTALLDIR_MACHINE or INSTALLDIR_USER when empty) and STARTMENU_BASE.
void init_folder_variables(package& pkg);
void init_desktop_folder(package& pkg);
void init_start_menu_base(package& pkg);

// From the installed product's entry: VERSION, INSTALLDIR, STARTMENU, PreviousVersion and the run type.
void read_previous_installation(package& pkg, HKEY root);

} // namespace tolvane
