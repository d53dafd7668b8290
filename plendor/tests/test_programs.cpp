#include "test_programs.h"

#include <gtest/gtest.h>

#include <dedup/api/service_interface.h>
#include <lurran/pipe_transport.h>

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
    if (!CreateProcessW(nullptr, command_line.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &si,
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

std::vector<std::string> lines_of(const std::wstring& path)
{
    const auto raw = test_support::read_file(path);
    std::string text(reinterpret_cast<const char*>(raw.data()), raw.size());
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
    const auto raw = test_support::read_file(state_ / L"folders.txt");
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
    test_support::bytes b(text.size() * 2);
    memcpy(b.data(), text.data(), b.size());
    test_support::write_file(state_ / L"folders.txt", b);
}

void service_stand_in::set_script(const std::string& script)
{
    test_support::write_file(state_ / L"script.txt", test_support::to_bytes(script));
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
