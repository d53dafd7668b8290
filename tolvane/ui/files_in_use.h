#pragma once
// The files-in-use dialog (133): the applications that hold files the installation must replace,
// one line each, with Retry, Cancel and "Close application(s) and retry". A waiter per listed process
// removes its line when the process ends; when the last one has ended the dialog closes as Retry.
//
// Runs on the calling thread, which must be a UI thread (it pumps the dialog's messages). Every line
// is listed before any waiter starts; closing stops the waiters without waiting for any of them to
// come back, and a waiter that comes back late finds no dialog and changes nothing.

#include <windows.h>
#include <restartmanager.h>

#include <vector>

namespace tolvane {

// The button that closed the dialog (1, 2 or 1003), 1 when every listed process ended, 2 when closed
// through the system menu; -1 when the dialog could not be made.
int show_files_in_use(HWND owner, const std::vector<RM_PROCESS_INFO>& processes);

} // namespace tolvane
