#pragma once
// A test program started as its own child, to play a role that needs a process of its own: the
// other end of a pipe, a process with redirected output or another environment, a copy of the
// program in another folder.
//
// A role is a function registered under a name by a `child_role` object at namespace scope. The
// shared main of the test programs (test_support_main.cpp) runs the role instead of the tests
// when the program is started as
//
//     <program> --child-role <name> <arguments...>
//
// and the role's return value is the exit code. A name no role has gives exit code 127.

#include <windows.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace test_support {

using child_arguments = std::vector<std::wstring>;
using child_role_body = int (*)(const child_arguments& arguments);

// Registers `body` under `name` for the lifetime of the program; names are unique per program.
class child_role {
public:
    child_role(std::wstring_view name, child_role_body body);
    child_role(const child_role&) = delete;
    child_role& operator=(const child_role&) = delete;
};

// For the shared main: the exit code of the role this program was started to play, or nothing
// when it was started to run its tests.
std::optional<int> run_child_role_from_command_line();

struct child_options {
    // Variables set (an empty value: removed) in the child's environment, which is otherwise
    // this program's. This program's own environment is left alone.
    std::vector<std::pair<std::wstring, std::wstring>> environment = {};
    // The program to start: a copy of this one elsewhere; empty for this program itself.
    std::wstring program = {};
    // Standard output and error go to this file (created anew) instead of being captured.
    std::wstring output_file = {};
};

struct child_result {
    // The exit code; -1 when the child did not end in time (it has then been terminated) or
    // could not be started.
    long exit_code = -1;
    // Standard output and error, as the child wrote them, unless they went to a file.
    std::string output;
};

// A running child. Its output is drained while it runs, so a child that writes much never blocks
// on a full pipe. Destroying one that still runs terminates it.
class child_process {
public:
    child_process() = default;
    child_process(child_process&& other) noexcept;
    child_process& operator=(child_process&& other) noexcept;
    ~child_process();

    bool started() const noexcept { return process_ != nullptr; }
    // The process, for waiting on its end together with other objects; null when not started.
    HANDLE process_handle() const noexcept { return process_; }
    // Waits for the end of the child and its output.
    child_result wait(std::chrono::milliseconds timeout = std::chrono::seconds(30));
    // Ends the child at once with TerminateProcess, as a crash would end it (nothing of its own
    // runs any more, what it wrote to files stays), and returns what it wrote to its output until
    // then. The exit code is `exit_code`, or the child's own when it had ended already.
    child_result terminate(UINT exit_code = 0xDEAD);

private:
    friend child_process start_self_as_child(std::wstring_view, const child_arguments&, const child_options&);
    void terminate_and_close() noexcept;

    HANDLE process_ = nullptr;
    HANDLE output_ = nullptr; // our end of the output pipe, read by drain_
    std::thread drain_;
    // Where the drain writes: its place stays put when the child_process moves.
    std::unique_ptr<std::string> captured_ = std::make_unique<std::string>();
};

// Starts this test program (or options.program) as a child playing `role`. A failure to start
// fails the calling test and gives a child that is not started().
child_process start_self_as_child(std::wstring_view role, const child_arguments& arguments = {},
                                  const child_options& options = {});

// Starts the child and waits for it.
child_result run_self_as_child(std::wstring_view role, const child_arguments& arguments = {},
                               const child_options& options = {},
                               std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The full path of this program.
std::wstring this_program();

// CreateProcessW, for every process a test starts. Starts are made one at a time, here and in
// start_self_as_child, whichever threads ask. Wine now and then loses a new process while it
// loads, before any of its code has run, and the start fails with ERROR_INTERNAL_ERROR: nothing of
// the program ran, so it is started again, up to three times in all. Any other failure is returned
// at once, with its error as the last error.
BOOL create_process(const wchar_t* application, wchar_t* command_line, BOOL inherit_handles, DWORD flags,
                    void* environment, const wchar_t* directory, STARTUPINFOW* startup,
                    PROCESS_INFORMATION* information);

} // namespace test_support
