#pragma once
// The main window run by this test program on a UI thread of its own, with hooks that record what
// the window asks of the commands and the error boxes it would show.

#include "test_programs.h"

#include <plendor/main_dlg.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace plendor_test {

class main_window {
public:
    // `adjust` may replace the recording hooks before the window starts.
    explicit main_window(std::wstring command_line, const std::function<void(main_dlg_hooks&)>& adjust = {});
    ~main_window();
    main_window(const main_window&) = delete;
    main_window& operator=(const main_window&) = delete;

    HWND window() const noexcept { return window_.load(); }
    HWND control(int id) const noexcept { return GetDlgItem(window(), id); }
    // Polls the condition every 10 ms; false when it has not held within the time-out.
    bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));
    // What the hooks were asked: "convert <folder>", "optimize <folder>", "recover <folder>",
    // "create-in <folder>", "delete <index>", "notice", "update", and the buttons by name.
    std::vector<std::wstring> calls();
    // The texts of the error boxes.
    std::vector<std::wstring> errors();
    // The exit code of the loop; -1 when it has not ended within the time-out.
    long wait_for_end(std::chrono::milliseconds timeout);
    std::size_t list_folders_seen(const service_stand_in& service) const;

private:
    void record(std::wstring call);

    std::thread ui_;
    std::atomic<HWND> window_{nullptr};
    std::atomic<long> exit_code_{-1};
    HANDLE ended_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::mutex lock_;
    std::vector<std::wstring> calls_;
    std::vector<std::wstring> errors_;
};

} // namespace plendor_test
