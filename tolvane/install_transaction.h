#pragma once
// One installation run of a built queue: a kernel transaction where the platform has one, a second
// untransacted attempt when the transacted one fails or its commit fails, an action-by-action
// rollback when an untransacted attempt fails, the post-install queue after a success, and the
// setup log.

#include <cstdint>
#include <string>

#include <tavik/future.h>
#include <tolvane/action_queue.h>

namespace tolvane {

class package;
class SetupUiInterface;

// What a sequence builder fills for one run.
struct queue_init {
    std::uint32_t restore_point_type = 0;
    std::wstring restore_point_description;
    ActionQueue main;
    ActionQueue post_install;
};

inline constexpr wchar_t transaction_description[] = L"Quvan Software Installation Transaction";

// Runs the queues of one run (type 1 install to 4 uninstall) and appends the log lines. A
// transaction is used unless `windows_11` is set or the property NoTransactions is not empty, and
// only when `package::calls` gives one. Returns the run's HRESULT: S_OK, S_FALSE (a restart is
// needed), or the failure after everything was put back.
//
// A transacted attempt records the undo of what the kernel cannot take back (the install-time
// export's service): after the kernel rollback that undo runs before the untransacted retry.
HRESULT run_queues(package& pkg, queue_init& queues, SetupUiInterface* ui, std::wstring& log, std::uint32_t type,
                   bool windows_11);

// One whole installation run of the loaded package on the thread pool: the removal of incompatible
// products and of a previous version, the queue of the run type, a System Restore point, the
// queues in a transaction (run_queues), the shell notification, the pending-reboot marker, and the
// setup log and error box after a failure. The run type and the installation folders are checked
// before anything is changed.
//
// Contract: awaited once; resumes its awaiter on a thread-pool thread. Completes after a successful
// run; fails with hresult_error 1 after a success that needs a restart, with hresult_error of the
// run's HRESULT after a failure (everything put back), with installation_exception when an
// incompatible product could not be removed, and with operation_cancelled when the package's
// cancellation came before the run began its work. The backup folder is deleted in every case.
tavik::details::future<void> install_transaction(package& pkg, SetupUiInterface* ui);

// "Quvan Setup Log.txt" in the user's temporary folder.
std::wstring setup_log_path();
// The log as UTF-16LE with a byte-order mark, replacing the file; false when it cannot be written.
bool write_setup_log(const std::wstring& path, const std::wstring& log);

} // namespace tolvane
