// The folder server as applications meet it: dedup.exe --server serves a folder, and the
// projection's client tool reads and lists it from other processes.
//
// Figures, each beside a baseline of the same work on plain files in the same run:
// - first byte of a large file (1 GiB unless a size in MiB is given) read through the client tool
//   from a cold server (a fresh server process on the optimized store), against the first byte of
//   the same content in a plain file; the client tool's own start (a `state` query, which reads no
//   data) is reported too, since every served figure includes it;
// - sequential MB/s of a whole read of the same content from a cold server (a second file, so that
//   it is not the one the first read hydrated), against a plain sequential read in 1 MiB pieces;
// - a listing of a large folder (5,000 entries unless a count is given: creating names in a large
//   folder is quadratic under Wine) through the client tool, against a plain enumeration.
//
// Usage: served_bench [size in MiB] [entries]

#include "harness.h"

#include <dedup/api/repo_interface.h>
#include <dedup/server/commands.h>

#include <tavik/future.h>

#include <windows.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace std::chrono_literals;
using clock_type = std::chrono::steady_clock;

std::wstring beside_this_program(const wchar_t* name)
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L'\\') + 1) + name;
}

std::wstring quoted(const std::wstring& s) { return L"\"" + s + L"\""; }

// Starts a program with its output thrown away; the process handle.
HANDLE start(const std::wstring& program, const std::wstring& arguments)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    std::wstring command = quoted(program) + L" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL ok = CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr,
                                   &startup, &process);
    CloseHandle(nul);
    if (!ok)
        throw std::runtime_error("cannot start a program");
    CloseHandle(process.hThread);
    return process.hProcess;
}

// Runs a program to its end; its wall time in seconds. A non-zero exit code is an error.
double run(const std::wstring& program, const std::wstring& arguments)
{
    const auto began = clock_type::now();
    HANDLE process = start(program, arguments);
    WaitForSingleObject(process, INFINITE);
    const double seconds = std::chrono::duration<double>(clock_type::now() - began).count();
    DWORD code = 1;
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    if (code != 0)
        throw std::runtime_error("a program failed: " + std::to_string(code));
    return seconds;
}

void write_file(const std::wstring& path, const char* data, std::size_t size, std::size_t repeat)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot write a file");
    for (std::size_t i = 0; i < repeat; ++i) {
        DWORD written = 0;
        if (!WriteFile(h, data, DWORD(size), &written, nullptr) || written != size) {
            CloseHandle(h);
            throw std::runtime_error("cannot write a file");
        }
    }
    CloseHandle(h);
}

// A served folder's server process: started on the folder, serving once its pipe answers, stopped
// through the pipe.
class server_process {
public:
    server_process(const std::wstring& folder, const std::wstring& log) : folder_(folder)
    {
        process_ = start(beside_this_program(L"dedup.exe"),
                         L"--nologo --server --adopt --optimize-period OFF --gc-period OFF --log-path " + quoted(log) +
                             L" " + quoted(folder));
        for (int i = 0; i < 600; ++i) {
            try {
                auto connection = tavik::details::wait_blocking_result(dedup::impl::connect_to_folder_server(folder_));
                return;
            } catch (...) {
                std::this_thread::sleep_for(50ms);
            }
        }
        throw std::runtime_error("the server never served the folder");
    }
    ~server_process()
    {
        try {
            auto connection = tavik::details::wait_blocking_result(dedup::impl::connect_to_folder_server(folder_));
            connection->proxy<dedup::api::RepoInterface::stop>()();
        } catch (...) {
        }
        if (WaitForSingleObject(process_, 30000) != WAIT_OBJECT_0)
            TerminateProcess(process_, 1);
        CloseHandle(process_);
    }

private:
    std::wstring folder_;
    HANDLE process_ = nullptr;
};

double plain_first_byte(const std::wstring& path)
{
    const auto began = clock_type::now();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr);
    char byte;
    DWORD n = 0;
    ReadFile(h, &byte, 1, &n, nullptr);
    CloseHandle(h);
    return std::chrono::duration<double>(clock_type::now() - began).count();
}

double plain_sequential(const std::wstring& path)
{
    std::vector<char> buffer(1u << 20);
    const auto began = clock_type::now();
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_FLAG_SEQUENTIAL_SCAN, nullptr);
    DWORD n = 0;
    while (ReadFile(h, buffer.data(), DWORD(buffer.size()), &n, nullptr) && n > 0) {
    }
    CloseHandle(h);
    return std::chrono::duration<double>(clock_type::now() - began).count();
}

double plain_listing(const std::wstring& folder, std::size_t& entries)
{
    const auto began = clock_type::now();
    WIN32_FIND_DATAW found;
    HANDLE h = FindFirstFileW((folder + L"\\*").c_str(), &found);
    entries = 0;
    if (h != INVALID_HANDLE_VALUE) {
        do
            ++entries;
        while (FindNextFileW(h, &found));
        FindClose(h);
    }
    return std::chrono::duration<double>(clock_type::now() - began).count();
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::size_t entries = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 5000;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring base = std::wstring(temp) + L"served-bench-" + std::to_wstring(GetCurrentProcessId());
    const std::wstring folder = base + L"\\Data";
    const std::wstring plain = base + L"\\Plain";
    const std::wstring log = base + L"\\server.log";
    const std::wstring client = beside_this_program(L"projfs_client.exe");
    int status = 0;
    try {
        std::filesystem::create_directories(folder + L"\\Many");
        std::filesystem::create_directories(plain + L"\\Many");
        // 64 MiB of random bytes repeated: the store holds them once, every read rebuilds all.
        std::vector<char> block(64u << 20);
        std::uint32_t x = 0x9E3779B9;
        for (auto& c : block) {
            x ^= x << 13;
            x ^= x >> 17;
            x ^= x << 5;
            c = char(x);
        }
        const std::size_t repeat = std::max<std::size_t>(1, mib / 64);
        for (const wchar_t* name : {L"\\big.bin", L"\\copy.bin"})
            write_file(folder + name, block.data(), block.size(), repeat);
        write_file(plain + L"\\big.bin", block.data(), block.size(), repeat);
        for (std::size_t i = 0; i < entries; ++i) {
            const std::string text = std::to_string(i);
            const std::wstring name = L"\\Many\\entry" + std::to_wstring(i) + L".txt";
            write_file(folder + name, text.data(), text.size(), 1);
            write_file(plain + name, text.data(), text.size(), 1);
        }
        const double size_mb = double(block.size()) * double(repeat) / 1e6;
        const std::string prefix = "served_" + std::to_string(repeat * 64) + "MiB";

        {
            server_process server(folder, log);
            run(beside_this_program(L"dedup.exe"), L"--nologo --optimize " + quoted(folder));
        }

        // Cold: a fresh server on the optimized store.
        {
            server_process server(folder, log);
            const double overhead = run(client, L"state " + quoted(folder + L"\\big.bin"));
            bench::report("served_client_tool_start", overhead * 1000.0, "ms");
            const double first = run(client, L"read " + quoted(folder + L"\\big.bin") + L" --length 1");
            bench::report(prefix + "_first_byte", first * 1000.0, "ms");
        }
        bench::report("plain_first_byte", plain_first_byte(plain + L"\\big.bin") * 1000.0, "ms");

        {
            server_process server(folder, log);
            const double whole = run(client, L"read " + quoted(folder + L"\\copy.bin"));
            bench::report(prefix + "_sequential_read", size_mb / whole, "MB/s");
        }
        const double plain_whole = plain_sequential(plain + L"\\big.bin");
        bench::report("plain_sequential_read", size_mb / plain_whole, "MB/s");

        {
            server_process server(folder, log);
            const double listing = run(client, L"list " + quoted(folder + L"\\Many"));
            bench::report("served_listing_" + std::to_string(entries) + "_entries", listing * 1000.0, "ms");
        }
        std::size_t listed = 0;
        const double plain_list = plain_listing(plain + L"\\Many", listed);
        bench::report("plain_listing_" + std::to_string(listed) + "_entries", plain_list * 1000.0, "ms");
    } catch (const std::exception& e) {
        std::printf("served_bench failed: %s\n", e.what());
        status = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(base, ignored);
    return status;
}
