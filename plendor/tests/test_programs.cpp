#include "test_programs.h"

#include <gtest/gtest.h>

#include <dedup/api/service_interface.h>
#include <lurran/pipe_transport.h>
#include <testing/support/child_process.h>

#include <utility>

namespace plendor_test {

using namespace std::chrono_literals;

std::wstring program_folder()
{
    std::wstring path(32768, L'\0');
    path.resize(GetModuleFileNameW(nullptr, path.data(), DWORD(path.size())));
    return path.substr(0, path.find_last_of(L'\\') + 1);
}

running_program::running_program(std::wstring command_line)
{
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!test_support::create_process(nullptr, command_line.data(), FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
                                      &pi)) {
        ADD_FAILURE() << "cannot start a program: " << GetLastError();
        return;
    }
    CloseHandle(pi.hThread);
    process_ = pi.hProcess;
}

running_program::running_program(running_program&& other) noexcept : process_(std::exchange(other.process_, nullptr)) {}

running_program& running_program::operator=(running_program&& other) noexcept
{
    if (this != &other) {
        terminate();
        process_ = std::exchange(other.process_, nullptr);
    }
    return *this;
}

running_program::~running_program() { terminate(); }

long running_program::wait(std::chrono::milliseconds timeout)
{
    if (!process_ || WaitForSingleObject(process_, DWORD(timeout.count())) != WAIT_OBJECT_0)
        return -1;
    DWORD code = 0;
    GetExitCodeProcess(process_, &code);
    return long(code);
}

void running_program::terminate()
{
    if (!process_)
        return;
    TerminateProcess(process_, 0xDEAD);
    WaitForSingleObject(process_, 10000);
    CloseHandle(process_);
    process_ = nullptr;
}

bool wait_for_pipe(const std::wstring& name, std::chrono::milliseconds timeout)
{
    const std::wstring path = L"\\\\.\\pipe\\" + name;
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < end) {
        if (WaitNamedPipeW(path.c_str(), 50))
            return true;
        Sleep(10);
    }
    return false;
}

namespace {

// The file's bytes, shared with a stand-in that may be writing it; empty when it does not exist.
std::string shared_read(const std::wstring& path)
{
    std::string text;
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    if (f == INVALID_HANDLE_VALUE)
        return text;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(f, buffer, sizeof buffer, &got, nullptr) && got)
        text.append(buffer, got);
    CloseHandle(f);
    return text;
}

// Replaces the file's bytes; the stand-in may be reading it at that moment.
void shared_write(const std::wstring& path, const void* data, std::size_t size)
{
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                               CREATE_ALWAYS, 0, nullptr);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD written = 0;
            if (size)
                WriteFile(f, data, DWORD(size), &written, nullptr);
            CloseHandle(f);
            return;
        }
        Sleep(5);
    }
    ADD_FAILURE() << "cannot write a stand-in's file";
}

std::vector<std::string> lines_of(const std::wstring& path)
{
    const std::string text = shared_read(path);
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace

service_stand_in::service_stand_in(const std::vector<std::wstring>& folders, const std::string& script,
                                   const std::wstring& dedup)
{
    set_folders(folders);
    set_script(script);
    std::wstring command = L"\"" + program_folder() + L"ebrisk.exe\" --serve \"" + state_.path() + L"\"";
    if (!dedup.empty())
        command += L" --dedup \"" + dedup + L"\"";
    program_ = running_program(command);
    EXPECT_TRUE(wait_for_pipe(dedup::api::service_pipe_name));
}

service_stand_in::~service_stand_in() { program_.terminate(); }

std::vector<std::string> service_stand_in::requests() const { return lines_of(state_ / L"requests.log"); }

std::vector<std::wstring> service_stand_in::folders() const
{
    const std::string raw = shared_read(state_ / L"folders.txt");
    std::wstring text(raw.size() / 2, L'\0');
    memcpy(text.data(), raw.data(), text.size() * 2);
    std::vector<std::wstring> out;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L'\n', start);
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

void service_stand_in::set_folders(const std::vector<std::wstring>& folders)
{
    std::wstring text;
    for (const auto& f : folders)
        text += f + L"\n";
    shared_write(state_ / L"folders.txt", text.data(), text.size() * 2);
}

void service_stand_in::set_script(const std::string& script)
{
    shared_write(state_ / L"script.txt", script.data(), script.size());
}

fake_folder_server::fake_folder_server(const std::wstring& folder, const std::string& script)
{
    test_support::write_file(files_ / L"script.txt", test_support::to_bytes(script));
    program_ = running_program(L"\"" + program_folder() + L"fake_folder_server.exe\" \"" + folder + L"\" \"" +
                               (files_ / L"script.txt") + L"\"");
    EXPECT_TRUE(wait_for_pipe(lurran::make_repo_pipe_name(folder)));
}

std::vector<std::string> fake_folder_server::requests() const { return lines_of(files_ / L"script.txt.log"); }

} // namespace plendor_test

// ---- main_window

#include "main_window.h"

namespace plendor_test {

main_window::main_window(std::wstring command_line, const std::function<void(main_dlg_hooks&)>& adjust)
{
    main_dlg_hooks hooks;
    auto with_folder = [this](const wchar_t* name) {
        return [this, name](main_dlg&, const std::wstring& folder) { record(std::wstring(name) + L" " + folder); };
    };
    hooks.run_convert_command = with_folder(L"convert");
    hooks.optimize_folder = with_folder(L"optimize");
    hooks.recover_folder = with_folder(L"recover");
    hooks.create_in_folder = with_folder(L"create-in");
    hooks.delete_folder = [this](main_dlg&, std::size_t index) { record(L"delete " + std::to_wstring(index)); };
    hooks.delete_selected_folder = [this](main_dlg&) { record(L"Delete"); };
    hooks.optimize_selected_folder = [this](main_dlg&) { record(L"Optimize"); };
    hooks.recover_selected_folder = [this](main_dlg&) { record(L"Recover"); };
    hooks.show_about_box = [this](main_dlg&) { record(L"About"); };
    hooks.show_help = [this](main_dlg&) { record(L"Help"); };
    hooks.show_notice = [this](main_dlg&) { record(L"notice"); };
    hooks.start_update_flow = [this](main_dlg&, tavik::details::cancellation_source) -> tavik::details::future<void> {
        record(L"update");
        co_return;
    };
    hooks.message_box = [this](HWND, const wchar_t* text, const wchar_t*, UINT) {
        std::lock_guard guard(lock_);
        errors_.push_back(text);
        return IDOK;
    };
    if (adjust)
        adjust(hooks);
    ui_ = std::thread([this, command_line, hooks = std::move(hooks)]() mutable {
        try {
            main_dlg dialog(command_line, std::move(hooks));
            // The handle is published as soon as the dialog has one.
            dialog.install([this](Ostrel::windows::impl::message_record& m) {
                if (!window_.load())
                    window_.store(m.window);
                return false;
            });
            exit_code_.store(long(Ostrel::windows::impl::run_main_dialog(dialog, SW_SHOWNORMAL)));
        } catch (...) {
            exit_code_.store(-2);
        }
        SetEvent(ended_);
    });
    wait_until([this] { return window() != nullptr || WaitForSingleObject(ended_, 0) == WAIT_OBJECT_0; });
}

main_window::~main_window()
{
    if (WaitForSingleObject(ended_, 0) != WAIT_OBJECT_0 && window())
        PostMessageW(window(), WM_CLOSE, 0, 0);
    ui_.join();
    CloseHandle(ended_);
}

bool main_window::wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(10);
    }
    return true;
}

void main_window::record(std::wstring call)
{
    std::lock_guard guard(lock_);
    calls_.push_back(std::move(call));
}

std::vector<std::wstring> main_window::calls()
{
    std::lock_guard guard(lock_);
    return calls_;
}

std::vector<std::wstring> main_window::errors()
{
    std::lock_guard guard(lock_);
    return errors_;
}

long main_window::wait_for_end(std::chrono::milliseconds timeout)
{
    if (WaitForSingleObject(ended_, DWORD(timeout.count())) != WAIT_OBJECT_0)
        return -1;
    return exit_code_.load();
}

std::size_t main_window::list_folders_seen(const service_stand_in& service) const
{
    std::size_t n = 0;
    for (const auto& line : service.requests())
        n += line == "list_folders";
    return n;
}

} // namespace plendor_test
