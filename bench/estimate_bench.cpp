// dedup --estimate on a generated folder with duplicates (1 GiB unless a size in MiB is given), as a
// real process, against the engine's own dry run of the same folder in this process, in the same run.
//
// Figures: throughput (MB of file data per second of wall time) and the peak working set, for the
// program (its whole process: start-up, the logger, the console output) and for the dry run (this
// process's growth while it runs). The ratio is program throughput over dry-run throughput.

#include "harness.h"

#include <dedup/engine/root_folder.h>

#include <ostrel/com/ptr.h>
#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <windows.h>
#include <psapi.h>

#include <atomic>
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

std::uint64_t working_set_of(HANDLE process)
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    return GetProcessMemoryInfo(process, &counters, sizeof(counters)) ? counters.WorkingSetSize : 0;
}

// Samples a process's working set every 5 ms while it lives; the highest value seen.
class peak_sampler {
public:
    explicit peak_sampler(HANDLE process)
        : thread_([this, process] {
              while (!stop_) {
                  peak_ = std::max<std::uint64_t>(peak_, working_set_of(process));
                  std::this_thread::sleep_for(5ms);
              }
          })
    {
    }
    ~peak_sampler() { finish(); }
    std::uint64_t finish()
    {
        if (thread_.joinable()) {
            stop_ = true;
            thread_.join();
        }
        return peak_;
    }

private:
    std::atomic<bool> stop_{false};
    std::atomic<std::uint64_t> peak_{0};
    std::thread thread_;
};

void write_file(const std::wstring& path, const std::vector<char>& data)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        throw std::runtime_error("cannot write the folder");
    DWORD written = 0;
    const BOOL ok = WriteFile(h, data.data(), DWORD(data.size()), &written, nullptr);
    CloseHandle(h);
    if (!ok || written != data.size())
        throw std::runtime_error("cannot write the folder");
}

// Files of 16 MiB: every third a copy of an earlier one, the rest new, half of those random
// (incompressible) and half text-like (compressible), with shared 1 MiB stretches between them.
std::uint64_t make_folder(const std::wstring& folder, std::uint64_t total)
{
    std::filesystem::create_directories(folder);
    constexpr std::size_t file_size = 16u << 20;
    const int files = int(std::max<std::uint64_t>(1, total / file_size));
    std::uint32_t x = 0x9E3779B9;
    auto next = [&x] {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        return x;
    };
    std::vector<char> shared(1u << 20);
    for (auto& c : shared)
        c = char('a' + next() % 26);
    std::vector<std::vector<char>> originals;
    std::uint64_t written = 0;
    for (int i = 0; i < files; ++i) {
        std::vector<char> data;
        if (i % 3 == 2 && !originals.empty()) {
            data = originals[next() % originals.size()];
        } else {
            data.resize(file_size);
            const bool text = i % 2 == 0;
            for (std::size_t at = 0; at < file_size; at += 4) {
                const std::uint32_t v = next();
                for (int k = 0; k < 4; ++k)
                    data[at + k] = text ? char(" etaoinshrdlu\n"[(v >> (8 * k)) % 14]) : char(v >> (8 * k));
            }
            std::copy(shared.begin(), shared.end(), data.begin() + std::ptrdiff_t((i % 8) << 20));
            if (originals.size() < 8)
                originals.push_back(data);
        }
        write_file(folder + L"\\file" + std::to_wstring(i) + L".bin", data);
        written += data.size();
    }
    return written;
}

std::wstring program_beside_this_one()
{
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    std::wstring path(self);
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"dedup.exe";
}

struct run_figures {
    double seconds = 0;
    std::uint64_t peak = 0;
};

run_figures run_program(const std::wstring& folder)
{
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE nul = CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                             nullptr);
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdOutput = nul;
    startup.hStdError = nul;
    std::wstring command = L"\"" + program_beside_this_one() + L"\" --nologo --estimate \"" + folder + L"\"";
    PROCESS_INFORMATION process{};
    const auto start = std::chrono::steady_clock::now();
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, TRUE, CREATE_NO_WINDOW, nullptr, nullptr, &startup,
                        &process))
        throw std::runtime_error("cannot start dedup.exe");
    run_figures figures;
    {
        peak_sampler sampler(process.hProcess);
        WaitForSingleObject(process.hProcess, INFINITE);
        figures.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        figures.peak = sampler.finish();
    }
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process.hProcess, &counters, sizeof(counters)))
        figures.peak = std::max<std::uint64_t>(figures.peak, counters.PeakWorkingSetSize);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    CloseHandle(nul);
    if (code != 0)
        throw std::runtime_error("dedup.exe failed");
    return figures;
}

} // namespace

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring folder = std::wstring(temp) + L"estimate-bench-" + std::to_wstring(GetCurrentProcessId());
    int status = 0;
    try {
        const std::uint64_t bytes = make_folder(folder, mib << 20);
        const std::string prefix = "estimate_" + std::to_string(mib) + "MiB";
        bench::report(prefix + "_folder_size", double(bytes) / 1048576.0, "MiB");

        // The engine's dry run, as the command makes it, in this process.
        run_figures dry;
        {
            tavik::details::cancellation_source source;
            auto root = Ostrel::com::make<dedup::impl::root_folder>(source);
            const std::uint64_t before = working_set_of(GetCurrentProcess());
            peak_sampler sampler(GetCurrentProcess());
            const auto start = std::chrono::steady_clock::now();
            auto result = tavik::details::wait_blocking_result(root->convert(folder, 7, source, {}));
            dry.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
            const std::uint64_t peak = sampler.finish();
            dry.peak = peak - std::min(peak, before);
            if (!result)
                throw std::runtime_error("dry run failed");
            bench::report(prefix + "_unique_size", double(result->unique_size) / 1048576.0, "MiB");
            bench::report(prefix + "_compressed_size", double(result->compressed_size) / 1048576.0, "MiB");
        }
        bench::report(prefix + "_dry_run_throughput", double(bytes) / dry.seconds / 1e6, "MB/s");
        bench::report(prefix + "_dry_run_peak_memory", double(dry.peak) / 1048576.0, "MiB");

        const run_figures program = run_program(folder);
        bench::report(prefix + "_dedup_exe_throughput", double(bytes) / program.seconds / 1e6, "MB/s");
        bench::report(prefix + "_dedup_exe_peak_memory", double(program.peak) / 1048576.0, "MiB");
        bench::report(prefix + "_dedup_exe_vs_dry_run", dry.seconds / program.seconds, "ratio");
    } catch (const std::exception& e) {
        std::fprintf(stderr, "estimate_bench: %s\n", e.what());
        status = 1;
    }
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return status;
}
