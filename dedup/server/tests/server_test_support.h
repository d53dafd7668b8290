#pragma once
// Shared pieces of the front end's tests: a logger that keeps its lines, folders with duplicate
// content, and dedup.exe run as a real process with its output captured.

#include <ostrel/logger.h>

#include <windows.h>

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace server_test {

// Keeps every line with its level; installed as the process's logger for its lifetime.
class recording_logger final : public ILogger {
public:
    recording_logger();
    ~recording_logger() override;

    bool open(std::wstring_view, bool, int) override { return true; }
    void log(std::wstring_view text, int level) override;
    void log(std::wstring&& text, int level) override;
    void stop() override {}

    struct line {
        std::wstring text;
        int level;
    };
    std::vector<line> lines() const;
    // Every text, in order, concatenated.
    std::wstring all() const;
    // Waits up to `timeout` for a line containing `part`.
    bool wait_for(std::wstring_view part, std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

private:
    mutable std::mutex lock_;
    std::vector<line> lines_;
    ILogger* previous_;
};

// Files with repeated content under `folder`: `count` files of `size` bytes, every second one a
// copy of the first, so the folder deduplicates.
void make_duplicated_files(const std::wstring& folder, int count, std::size_t size);

struct program_result {
    long exit_code = -1;
    std::string output; // standard output and error, UTF-8
};

// Runs bin\dedup.exe (beside this test program) with `arguments`, output redirected to a file.
// `directory`: the program's current directory; empty: this program's.
program_result run_dedup(const std::wstring& arguments, std::chrono::milliseconds timeout = std::chrono::seconds(60),
                         const std::wstring& directory = {});

std::wstring dedup_program();
std::string to_utf8(std::wstring_view text);

} // namespace server_test
