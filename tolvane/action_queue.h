#pragma once
// The queue of undoable installation actions.
//
// Everything the installer changes on the machine is one `action` in an `ActionQueue`. A run
// executes the actions in order, writes one log line per action, reports progress, stops at the
// first failure or when the user cancels, and postpones actions that meet locked files until the
// marker (`empty_delayed_queue_action`) retries them after the applications holding the files have
// been shut down. Without a kernel transaction each action records, in the undo queue, the action
// that puts back what it changed; a failed run is then undone by running that queue backwards
// (`ActionQueue::run_rollback`).
//
// What an undo puts back: a copy, link or removal over a file that was already there first copies
// that file into the run's backup folder and its undo copies it back; a removal whose backup fails
// fails instead of deleting. An exception thrown by an action becomes the run's HRESULT, so the
// rollback still runs.
//
// The queue and its actions belong to the one thread that runs the installation.

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <windows.h>

namespace platform::ktm {
class transacted_calls;
}

namespace tolvane {

class package;
class ActionQueue;

inline constexpr HRESULT sharing_violation_hresult = static_cast<HRESULT>(0x80070020);

class action {
public:
    virtual ~action() = default;
    // Performs the action. `undo` may be null; `transaction` is null when there is none.
    virtual HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) = 0;
    // Appends the one-line description (no line end); may append nothing.
    virtual void log_text(std::wstring& log) const = 0;
    // A copy for the delayed queue, or nothing when the action cannot be postponed.
    virtual void clone_for_delay(std::unique_ptr<action>& out) const = 0;
};

// Raised by the marker's clone_for_delay: the point at which postponed actions are retried.
struct empty_delayed_signal {};

class SetupUiInterface;

class ActionQueue {
public:
    ActionQueue() = default;
    ActionQueue(const ActionQueue&) = delete;
    ActionQueue& operator=(const ActionQueue&) = delete;

    void add(std::unique_ptr<action> a);
    // Replaces a step text that was added last, so only the last of several in a row stays.
    void add_status(std::wstring text);

    // Runs the list (see the file comment). keep: a first run (actions stay, locked ones are
    // postponed); false: the retry of postponed actions (each success is removed, locks remembered).
    // S_OK; S_FALSE when an action returned it; E_ABORT on cancel; 0x80070020 when locked files
    // remain; else the first failure.
    HRESULT run(std::wstring& log, package& pkg, ActionQueue* undo, HANDLE transaction, SetupUiInterface* ui,
                bool keep);

    // Undoes a failed untransacted attempt: the recorded undo actions run last first, to the end
    // whatever the user's cancel answer says, and locked files are retried through a marker at the
    // end. Empties the queue.
    HRESULT run_rollback(std::wstring& log, package& pkg, SetupUiInterface* ui);

    bool empty() const noexcept { return actions_.empty(); }
    std::size_t size() const noexcept { return actions_.size(); }
    std::uint32_t steps() const noexcept { return steps_; }
    void set_steps(std::uint32_t steps) noexcept { steps_ = steps; }
    bool lock_wait_spent() const noexcept { return lock_wait_spent_; }
    void set_lock_wait_spent() noexcept { lock_wait_spent_ = true; }
    // The log text of every action, one per line (golden queues in tests).
    std::wstring log_text() const;
    void reverse() { actions_.reverse(); }

private:
    HRESULT run_impl(std::wstring& log, package& pkg, ActionQueue* undo, HANDLE transaction, SetupUiInterface* ui,
                     bool keep, bool cancellable);

    std::list<std::unique_ptr<action>> actions_;
    std::uint32_t steps_ = 0;
    bool last_is_status_ = false;
    bool lock_wait_spent_ = false;
};

// --- the action kinds

class status_action final : public action {
public:
    explicit status_action(std::wstring text) : text_(std::move(text)) {}
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring&) const override {}
    void clone_for_delay(std::unique_ptr<action>&) const override {}
    const std::wstring& text() const noexcept { return text_; }

private:
    std::wstring text_;
};

class create_directory_action final : public action {
public:
    explicit create_directory_action(std::wstring path) : path_(std::move(path)) {}
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override;
    void clone_for_delay(std::unique_ptr<action>&) const override {}

private:
    std::wstring path_;
};

class remove_directory_action final : public action {
public:
    remove_directory_action(std::wstring path, bool recurse, bool free_up, bool force)
        : path_(std::move(path)), recurse_(recurse), free_up_(free_up), force_(force)
    {
    }
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override;
    void clone_for_delay(std::unique_ptr<action>&) const override {}

private:
    std::wstring path_;
    bool recurse_, free_up_, force_;
};

class copy_file_action final : public action {
public:
    copy_file_action(std::wstring source, std::wstring destination)
        : source_(std::move(source)), destination_(std::move(destination))
    {
    }
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override;
    void clone_for_delay(std::unique_ptr<action>& out) const override;

private:
    std::wstring source_, destination_;
};

class remove_file_action final : public action {
public:
    explicit remove_file_action(std::wstring path) : path_(std::move(path)) {}
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override;
    void clone_for_delay(std::unique_ptr<action>& out) const override;

private:
    std::wstring path_;
};

class create_link_action final : public action {
public:
    create_link_action(std::wstring link, std::wstring existing) : link_(std::move(link)), existing_(std::move(existing))
    {
    }
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override;
    void clone_for_delay(std::unique_ptr<action>& out) const override;

private:
    std::wstring link_, existing_;
};

class generic_action final : public action {
public:
    using function = std::function<HRESULT(package&, ActionQueue*, HANDLE)>;
    generic_action(function f, std::wstring name) : function_(std::move(f)), name_(std::move(name)) {}
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override;
    void clone_for_delay(std::unique_ptr<action>&) const override {}

private:
    function function_;
    std::wstring name_;
};

class empty_delayed_queue_action final : public action {
public:
    HRESULT execute(package&, ActionQueue*, HANDLE) override { return sharing_violation_hresult; }
    void log_text(std::wstring& log) const override { log += L"Emptying delayed queue"; }
    void clone_for_delay(std::unique_ptr<action>&) const override { throw empty_delayed_signal{}; }
};

// --- file helpers of the actions

// Creates the directory and its missing parents; stops at the root (a path without a parent, or a
// missing drive) instead of recursing without end. Last error set on failure.
bool create_directory_tree(package& pkg, const std::wstring& path, HANDLE transaction);

// Removes the directory with everything in it (files only when delete_files is set). A directory
// that is a reparse point (junction, mount point, link) is removed as a link: what it points to is
// never entered. Returns whether the directory itself was removed.
bool remove_directory_tree(package& pkg, const std::wstring& path, bool delete_files, HANDLE transaction);
bool remove_directory_tree(platform::ktm::transacted_calls& calls, const std::wstring& path, bool delete_files,
                           HANDLE transaction);

HRESULT copy_file_with_retry(const std::wstring& source, const std::wstring& destination, package& pkg,
                             ActionQueue* undo, HANDLE transaction);

// Why `path` cannot be a folder the installation creates or removes (empty when it can): it must be
// absolute (a drive letter or a UNC share) and name a folder below the root. An unset variable
// leaves an empty or relative path, which would resolve against the current folder, and a root
// would have the whole drive enumerated and deleted.
std::wstring check_install_folder(std::wstring_view path);

// A new path in the run's backup folder: the folder joined with a new braced GUID.
std::wstring new_backup_path(const package& pkg);

// HRESULT_FROM_WIN32 of the calling thread's last error.
HRESULT last_error_hresult() noexcept;

} // namespace tolvane

namespace tolvane {

// Handed to the shell extension's install-time export: a long step of unknown length switches the
// progress display to indeterminate. Its table layout is the export's contract: one slot.
class self_install_callback {
public:
    explicit self_install_callback(SetupUiInterface* ui) noexcept : ui_(ui) {}
    virtual void set_busy(bool busy);

private:
    SetupUiInterface* ui_;
};

// Loads a module and calls its install-time export ("AutoInstallEx3", else "AutoInstallEx2", else
// "AutoInstallEx") with the folder, the action number (0 install, 1 stop, 2 start, 3 uninstall), the
// transaction and the component's identifier.
//
// The undo (action 3 - n) is recorded also inside a transaction: what the export does (a service, a
// package registration) is outside the kernel's transaction, so the caller runs the recorded undo
// after a kernel rollback, or the retry would meet the service it left behind.
class self_install_action final : public action {
public:
    self_install_action(std::wstring module, std::wstring folder, std::wstring id, std::uint32_t number)
        : module_(std::move(module)), folder_(std::move(folder)), id_(std::move(id)), number_(number)
    {
    }
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override;
    void clone_for_delay(std::unique_ptr<action>&) const override {}

private:
    std::wstring module_, folder_, id_;
    std::uint32_t number_;
};

} // namespace tolvane

namespace tolvane {

// Runs a component's registry script forward (register) or backward. The view flags come from the
// component (0x200 for a 32-bit image), except that a script in a folder whose name ends in "x86"
// always runs in the 32-bit view. A script that cannot be read or parsed fails the action with its
// HRESULT (the queue turns the error into one), so the run is rolled back.
class register_module_action final : public action {
public:
    using view_flags_function = std::function<std::uint32_t()>;
    register_module_action(std::wstring script, bool do_register, view_flags_function view_flags,
                           std::vector<std::pair<std::wstring, std::wstring>> variables)
        : script_(std::move(script)), register_(do_register), view_flags_(std::move(view_flags)),
          variables_(std::move(variables))
    {
    }
    HRESULT execute(package& pkg, ActionQueue* undo, HANDLE transaction) override;
    void log_text(std::wstring& log) const override;
    void clone_for_delay(std::unique_ptr<action>&) const override {}

private:
    std::wstring script_;
    bool register_;
    view_flags_function view_flags_;
    std::vector<std::pair<std::wstring, std::wstring>> variables_;
};

} // namespace tolvane
