#pragma once
// The installer's user interface as the program plugs it into the engine: the main window for an
// interactive run, the pipe server for an elevated copy, and the proxy that the copy connects.

#include <tolvane/setup_main.h>
#include <tolvane/ui/main_dialog.h>

namespace tolvane {

void install_ui_hooks(setup_hooks& hooks);

// The window over a started package: runs it and returns its exit code; waits for the start-up.
std::int32_t run_interactive(int show, package& pkg, tavik::details::future<void> startup,
                             main_dialog_hooks* overrides = nullptr);

} // namespace tolvane
