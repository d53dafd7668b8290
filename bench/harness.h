#pragma once
// Minimal benchmark harness: time a body several times with the steady clock, keep the median,
// and print one "name: value unit" line per figure.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <string_view>
#include <vector>

namespace bench {

// Seconds taken by the median of `runs` calls of `body`.
template <typename F>
double median_seconds(int runs, F&& body)
{
    std::vector<double> times;
    times.reserve(runs);
    for (int i = 0; i < runs; ++i) {
        auto start = std::chrono::steady_clock::now();
        body();
        times.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
    }
    std::sort(times.begin(), times.end());
    return times[times.size() / 2];
}

inline void report(std::string_view name, double value, std::string_view unit)
{
    std::printf("%.*s: %.6g %.*s\n", int(name.size()), name.data(), value, int(unit.size()), unit.data());
    std::fflush(stdout);
}

} // namespace bench
