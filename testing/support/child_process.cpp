#include "child_process.h"

#include <gtest/gtest.h>

#include <shellapi.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <map>
#include <mutex>

namespace test_support {

namespace {

constexpr std::wstring_view role_switch = L"--child-role";
constexpr int unknown_role = 127;

std::map<std::wstring, child_role_body, std::less<>>& roles()
{
    // Filled by child_role objects during static initialisation, from any translation unit.
    static std::map<std::wstring, child_role_body, std::less<>> registered;
    return registered;
}

// Quotes one argument so that CommandLineToArgvW (and the runtime's argv) give it back unchanged.
void append_quoted(std::wstring& command, std::wstring_view argument)
{
    command += L" \"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        // Backslashes count only before a quote, where each must be doubled.
        command.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        command += c;
    }
    command.append(2 * backslashes, L'\\');
    command += L'"';
}

// This program's environment block with `changes` made to it.
std::wstring environment_with(const std::vector<std::pair<std::wstring, std::wstring>>& changes)
{
    std::map<std::wstring, std::wstring> variables;
    wchar_t* block = GetEnvironmentStringsW();
    for (const wchar_t* p = block; *p; p += wcslen(p) + 1) {
        std::wstring_view entry(p);
        // Entries such as "=C:=C:\\dir" begin with '=': the name is never empty.
        std::size_t equals = entry.find(L'=', 1);
        if (equals != std::wstring_view::npos)
            variables[std::wstring(entry.substr(0, equals))] = entry.substr(equals + 1);
    }
    FreeEnvironmentStringsW(block);
    for (const auto& [name, value] : changes) {
        if (value.empty())
            variables.erase(name);
        else
            variables[name] = value;
    }
    std::wstring result;
    for (const auto& [name, value] : variables)
        result += name + L"=" + value + L'\0';
    result += L'\0';
    return result;
}

// Under Wine a process is started by forking this one. Two starts at once from two threads leak
// each other's descriptors into both new processes: one of them then holds the other's connection
// to the Wine server, and when that other process fails to load, the server never learns of it and
// the start that made it waits forever (seen: six starts at once, one in a few thousand hung).
// Starts are therefore made one at a time.
std::mutex& process_creation()
{
    static std::mutex creating;
    return creating;
}

// CreateProcessW, with process_creation() held by the caller.
BOOL create_process_alone(const wchar_t* application, wchar_t* command_line, BOOL inherit_handles, DWORD flags,
                          void* environment, const wchar_t* directory, STARTUPINFOW* startup,
                          PROCESS_INFORMATION* information)
{
    for (int attempt = 1;; ++attempt) {
        if (CreateProcessW(application, command_line, nullptr, nullptr, inherit_handles, flags, environment,
                           directory, startup, information))
            return TRUE;
        const DWORD error = GetLastError();
        if (error != ERROR_INTERNAL_ERROR || attempt == 3)
            return FALSE;
        std::fprintf(stderr, "test_support: Wine lost a new process while it loaded (attempt %d); starting it again\n",
                     attempt);
    }
}

} // namespace

child_role::child_role(std::wstring_view name, child_role_body body)
{
    roles().emplace(std::wstring(name), body);
}

std::optional<int> run_child_role_from_command_line()
{
    int count = 0;
    wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!argv)
        return std::nullopt;
    if (count < 2 || argv[1] != role_switch) {
        LocalFree(argv);
        return std::nullopt;
    }
    const std::wstring name = count > 2 ? argv[2] : L"";
    const child_arguments arguments(argv + std::min(count, 3), argv + count);
    LocalFree(argv);
    auto role = roles().find(name);
    if (role == roles().end()) {
        std::fprintf(stderr, "This test program has no child role \"%ls\".\n", name.c_str());
        return unknown_role;
    }
    return role->second(arguments);
}

std::wstring this_program()
{
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        DWORD length = GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
        if (length == 0)
            return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

child_process::child_process(child_process&& other) noexcept
    : process_(std::exchange(other.process_, nullptr)),
      output_(std::exchange(other.output_, nullptr)),
      drain_(std::move(other.drain_)),
      captured_(std::move(other.captured_))
{
}

child_process& child_process::operator=(child_process&& other) noexcept
{
    if (this != &other) {
        terminate_and_close();
        process_ = std::exchange(other.process_, nullptr);
        output_ = std::exchange(other.output_, nullptr);
        drain_ = std::move(other.drain_);
        captured_ = std::move(other.captured_);
    }
    return *this;
}

child_process::~child_process() { terminate_and_close(); }

void child_process::terminate_and_close() noexcept
{
    if (process_) {
        if (WaitForSingleObject(process_, 0) != WAIT_OBJECT_0)
            TerminateProcess(process_, 1);
        // The pipe ends with the process: the drain then reads its end and stops.
        WaitForSingleObject(process_, INFINITE);
        CloseHandle(std::exchange(process_, nullptr));
    }
    if (drain_.joinable())
        drain_.join();
    if (output_)
        CloseHandle(std::exchange(output_, nullptr));
}

child_result child_process::wait(std::chrono::milliseconds timeout)
{
    child_result result;
    if (!process_)
        return result;
    if (WaitForSingleObject(process_, DWORD(timeout.count())) != WAIT_OBJECT_0) {
        ADD_FAILURE() << "the child process did not end within " << timeout.count() << " ms";
    } else {
        DWORD code = 0;
        GetExitCodeProcess(process_, &code);
        result.exit_code = long(code);
    }
    terminate_and_close();
    result.output = std::move(*captured_);
    return result;
}

child_result child_process::terminate(UINT exit_code)
{
    child_result result;
    if (!process_)
        return result;
    // Fails only when the process has ended already, which the exit code then tells.
    TerminateProcess(process_, exit_code);
    WaitForSingleObject(process_, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    result.exit_code = long(code);
    terminate_and_close();
    result.output = std::move(*captured_);
    return result;
}

child_process start_self_as_child(std::wstring_view role, const child_arguments& arguments,
                                  const child_options& options)
{
    child_process child;
    const std::wstring program = options.program.empty() ? this_program() : options.program;
    std::wstring command = L"\"" + program + L"\" " + std::wstring(role_switch);
    append_quoted(command, role);
    for (const auto& argument : arguments)
        append_quoted(command, argument);

    // The inheritable handles are made and handed over while no other thread starts a process:
    // a child started in between would inherit them too, and hold this child's output pipe open.
    std::unique_lock creating(process_creation());
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    HANDLE input = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                               nullptr);
    HANDLE output = INVALID_HANDLE_VALUE;
    if (!options.output_file.empty()) {
        output = CreateFileW(options.output_file.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             CREATE_ALWAYS, 0, nullptr);
    } else if (CreatePipe(&child.output_, &output, &inherit, 0)) {
        SetHandleInformation(child.output_, HANDLE_FLAG_INHERIT, 0);
    } else {
        output = INVALID_HANDLE_VALUE;
    }
    if (input == INVALID_HANDLE_VALUE || output == INVALID_HANDLE_VALUE) {
        ADD_FAILURE() << "no standard handles for the child: error " << GetLastError();
        if (input != INVALID_HANDLE_VALUE)
            CloseHandle(input);
        return child;
    }

    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = input;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring environment;
    if (!options.environment.empty())
        environment = environment_with(options.environment);
    PROCESS_INFORMATION process{};
    const BOOL created =
        create_process_alone(program.c_str(), command.data(), TRUE, CREATE_UNICODE_ENVIRONMENT,
                             environment.empty() ? nullptr : environment.data(), nullptr, &startup, &process);
    const DWORD error = GetLastError();
    // The child holds its own copies now; ours would keep the pipe open after it ends.
    CloseHandle(input);
    CloseHandle(output);
    creating.unlock();
    if (!created) {
        ADD_FAILURE() << "CreateProcessW failed with error " << error;
        return child;
    }
    CloseHandle(process.hThread);
    child.process_ = process.hProcess;
    if (child.output_) {
        child.drain_ = std::thread([pipe = child.output_, text = child.captured_.get()] {
            char chunk[4096];
            DWORD got = 0;
            while (ReadFile(pipe, chunk, sizeof chunk, &got, nullptr) && got != 0)
                text->append(chunk, got);
        });
    }
    return child;
}

BOOL create_process(const wchar_t* application, wchar_t* command_line, BOOL inherit_handles, DWORD flags,
                    void* environment, const wchar_t* directory, STARTUPINFOW* startup,
                    PROCESS_INFORMATION* information)
{
    std::lock_guard creating(process_creation());
    return create_process_alone(application, command_line, inherit_handles, flags, environment, directory, startup,
                                information);
}

child_result run_self_as_child(std::wstring_view role, const child_arguments& arguments,
                               const child_options& options, std::chrono::milliseconds timeout)
{
    child_process child = start_self_as_child(role, arguments, options);
    return child.wait(timeout);
}

} // namespace test_support
