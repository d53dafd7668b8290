#pragma once
// Where the installation runs: here for a per-user installation or an administrator, else in an
// elevated copy of the installer that drives this copy's user interface through a pipe.

#include <windows.h>

#include <tavik/future.h>

namespace tolvane {

class package;
class SetupUiInterface;

// Waits for the complete package (failing with the start-up's failure), then runs the installation
// transaction here or in the elevated copy. Resumes on a thread-pool thread.
tavik::details::future<void> run_installation(package& pkg, SetupUiInterface* ui);

// Starts the elevated copy ("runas") with "-machine -silent --allow-error --type {0} --server {1}
// --source \"{2}\"" and waits for it: its exit code n != 0 fails with installation_exception(n); a
// declined elevation with 0x800702E4; a silent run, which never elevates, with E_FAIL.
tavik::details::future<void> run_elevated(package& pkg, SetupUiInterface* ui);

// Completes (on a thread-pool thread) when the kernel object is signalled.
tavik::details::future<void> wait_for_handle(HANDLE handle);

} // namespace tolvane
