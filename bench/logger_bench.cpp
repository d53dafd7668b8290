// Logger: how long a log() call takes while 8 threads log at once (the caller-side cost; the
// writer drains on the thread pool), and how many lines per second the writer gets into a file.

#include <ostrel/logger.h>

#include <harness.h>

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

namespace {

std::wstring temp_log_path()
{
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp) + L"logger-bench-" + std::to_wstring(GetCurrentProcessId()) + L".log";
}

constexpr int threads = 8;

// Each thread logs `lines` lines; returns the latency of every call in nanoseconds.
std::vector<double> log_from_threads(Logger& logger, int lines)
{
    std::vector<std::vector<double>> per_thread(threads);
    std::atomic<int> ready{0};
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&, t] {
            auto& out = per_thread[t];
            out.reserve(lines);
            std::wstring prefix = L"Worker " + std::to_wstring(t) + L" finished block ";
            ready.fetch_add(1);
            while (ready.load() < threads) {
            }
            for (int i = 0; i < lines; ++i) {
                std::wstring text = prefix + std::to_wstring(i) + L" of the folder C:\\Data\\Projects\r\n";
                auto start = std::chrono::steady_clock::now();
                logger.log(std::move(text), 3);
                out.push_back(std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count());
            }
        });
    }
    for (auto& w : workers)
        w.join();
    std::vector<double> all;
    for (auto& v : per_thread)
        all.insert(all.end(), v.begin(), v.end());
    return all;
}

double percentile(std::vector<double>& v, double p)
{
    auto k = std::size_t(p * double(v.size() - 1));
    std::nth_element(v.begin(), v.begin() + std::ptrdiff_t(k), v.end());
    return v[k];
}

} // namespace

int main()
{
    const std::wstring path = temp_log_path();

    // Latency of log() under contention, over several runs; the median run's percentiles.
    std::vector<double> p50s, p99s;
    for (int run = 0; run < 5; ++run) {
        DeleteFileW(path.c_str());
        Logger logger;
        logger.open(path, false, 3);
        std::vector<double> latencies = log_from_threads(logger, 20'000);
        p50s.push_back(percentile(latencies, 0.50));
        p99s.push_back(percentile(latencies, 0.99));
    }
    std::sort(p50s.begin(), p50s.end());
    std::sort(p99s.begin(), p99s.end());
    bench::report("logger_log_8_threads_p50", p50s[p50s.size() / 2], "ns");
    bench::report("logger_log_8_threads_p99", p99s[p99s.size() / 2], "ns");

    // Drain rate: from the first line queued until the logger has written everything and closed.
    constexpr int lines_per_thread = 25'000;
    double seconds = bench::median_seconds(5, [&] {
        DeleteFileW(path.c_str());
        Logger logger;
        logger.open(path, false, 3);
        log_from_threads(logger, lines_per_thread);
    });
    bench::report("logger_drain_to_file", threads * lines_per_thread / seconds, "lines/s");

    DeleteFileW(path.c_str());
    return 0;
}
