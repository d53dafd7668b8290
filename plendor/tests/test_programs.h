#pragma once
// The stand-in programs the utility's tests talk to: the service stand-in ebrisk serving the
// service's pipe from a state folder, and the fake folder server playing a script on a folder's
// pipe. Both run from this program's folder, as real processes, and are ended with the fixture.

#include <testing/support/test_support.h>

#include <tavik/error.h>
#include <tavik/future.h>

#include <gtest/gtest.h>

#include <windows.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace plendor_test {

// This program's folder, with the trailing backslash.
std::wstring program_folder();

// A started program, terminated when destroyed.
class running_program {
public:
    running_program() = default;
    explicit running_program(std::wstring command_line);
    running_program(running_program&& other) noexcept;
    running_program& operator=(running_program&& other) noexcept;
    ~running_program();
    HANDLE process() const noexcept { return process_; }
    // Exit code, or -1 when it has not ended within the time-out.
    long wait(std::chrono::milliseconds timeout);
    void terminate();

private:
    HANDLE process_ = nullptr;
};

// The HRESULT a future ends with (S_OK for a value), waited for at most `timeout`; past it the test
// fails, `unblock` is run to end the wait, and E_ABORT is returned.
template <class T>
HRESULT outcome_within(tavik::details::future<T> f, std::chrono::milliseconds timeout, const std::function<void()>& unblock)
{
    auto outcome = [](tavik::details::future<T> f) -> tavik::details::future<HRESULT> {
        try {
            co_await std::move(f);
        } catch (const tavik::details::hresult_error_impl& e) {
            co_return e.code();
        }
        co_return S_OK;
    }(std::move(f));
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    std::thread waiter([&] {
        tavik::details::wait_blocking(outcome);
        SetEvent(event);
    });
    const bool ended = WaitForSingleObject(event, DWORD(timeout.count())) == WAIT_OBJECT_0;
    if (!ended) {
        ADD_FAILURE() << "the call did not end";
        unblock();
    }
    waiter.join();
    CloseHandle(event);
    return ended ? outcome.get() : E_ABORT;
}

// Waits until \\.\pipe\<name> accepts clients; false after the time-out.
bool wait_for_pipe(const std::wstring& name, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// ebrisk --serve on a state folder of its own.
class service_stand_in {
public:
    // `folders`: the list it starts with; `script`: lines of script.txt.
    explicit service_stand_in(const std::vector<std::wstring>& folders = {}, const std::string& script = {},
                              const std::wstring& dedup = {});
    ~service_stand_in();
    void stop() { program_.terminate(); }
    // Lines of requests.log so far.
    std::vector<std::string> requests() const;
    std::vector<std::wstring> folders() const;
    void set_folders(const std::vector<std::wstring>& folders);
    void set_script(const std::string& script);
    const std::wstring& state() const { return state_.path(); }

private:
    test_support::temp_folder state_;
    running_program program_;
};

// fake_folder_server on `folder` with the script lines.
class fake_folder_server {
public:
    fake_folder_server(const std::wstring& folder, const std::string& script);
    // Lines of its request log: "0xMMMMMMMM <hex body>".
    std::vector<std::string> requests() const;
    long wait(std::chrono::milliseconds timeout) { return program_.wait(timeout); }

private:
    test_support::temp_folder files_;
    running_program program_;
};

} // namespace plendor_test
