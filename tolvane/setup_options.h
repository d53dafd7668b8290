#pragma once
// The installer's options: filled from its command line and the start-up, lent to the package, the
// main window and the engine.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <tavik/unique_handle.h>

namespace tolvane {

// The kinds of run.
enum InstallType : std::int32_t {
    install_type_newer_installed = 0,
    install_type_install = 1,
    install_type_upgrade = 2,
    install_type_update = 3,
    install_type_uninstall = 4,
    install_type_remove_previous = 5,
    install_type_windows_too_old = 6,
};

struct setup_options {
    std::int32_t type = install_type_install;
    std::uint32_t requested_type = 0; // forced from the command line; 0 = none
    std::uint32_t mode = 0;           // 0 per user, 1 per machine
    std::wstring server;              // pipe name of the user-interface process (elevated copy)
    std::wstring source;              // folder holding the package, replacing the package folder
    bool silent = false;
    bool no_window = false;
    bool machine_forced = false;
    bool portable = false;
    bool yes = false;
    bool allow_error = false;
    bool allow_parallel = false;
    tavik::unique_handle wait_process; // a process to wait for before anything else
    std::vector<std::pair<std::wstring, std::wstring>> props;
};

} // namespace tolvane
