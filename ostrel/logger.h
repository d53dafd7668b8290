#pragma once
// The process's logger: callers format a text and queue it; one writer coroutine turns queued
// records into lines, copies them to the console and appends them to a UTF-16 log file through
// thread-pool I/O. Logging never waits for I/O.
//
// Line: "dd.mm.yyyy hh:mm:ss<TAB>LEVEL<TAB>text" in local time; the text brings its own "\r\n".
// Levels: 0 critical, 1 error, 2 warning, 3 info, 4 debug; a record is kept when its level is not
// above the maximum level given to open.
//
// Threads: log() from any thread, at any time; open(), stop() and destruction from one owning
// thread, never from inside the writer (they block until the writer has ended). The write offset
// is touched only by the writer while it runs, and by open and the destructor while none runs.

#include <tavik/io/overlapped_io.h>

#include <tavik/future.h>

#include <windows.h>

#include <atomic>
#include <coroutine>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class ILogger {
public:
    // Path empty: console only. Returns false when the log file cannot be opened.
    virtual bool open(std::wstring_view path, bool console_copy, int max_level) = 0;
    virtual void log(std::wstring_view text, int level) = 0;
    virtual void log(std::wstring&& text, int level) = 0;
    // Ends the writer after the lines queued so far; lines queued later are not written.
    virtual void stop() = 0;
    virtual ~ILogger() = default;

    // A literal would convert equally well to either of the two above.
    void log(const wchar_t* text, int level) { log(std::wstring_view(text), level); }
};

// The process's one logger, set by the program's entry right after construction; null until then
// (and in tests and libraries that never set it, where the helpers below log nothing).
extern ILogger* global_logger;

// Logs `text` parsed as a format and rendered without arguments ("{{" becomes "{", fields vanish).
// Never pass user data (a path may hold braces) as the text: use log_formatted with the data as
// the argument.
void log_message(int level, std::wstring_view text);

// Logs `format` rendered with one text argument.
void log_formatted(int level, std::wstring_view format, std::wstring_view argument);

// What a test replaces: the clock, the file calls (to make writes fail) and the console handle.
struct logger_environment {
    // Current time in 100-ns units since 1 January 1970 UTC; empty: the system clock.
    std::function<std::int64_t()> clock;
    // Calls that start the log file's writes; null: ReadFile/WriteFile.
    tavik::io::file_io_calls* file_calls = nullptr;
    // Where the console copy goes; null: the standard output handle, looked up at open.
    HANDLE console = nullptr;
};

class Logger final : public ILogger {
public:
    Logger();
    explicit Logger(logger_environment environment);
    Logger(const Logger&) = delete;
    Logger& operator=(const Logger&) = delete;
    // Stops the writer (it writes what was queued before), then writes the closing line
    // "=====\t=====\t=====\r\n" to the file when one is open, last.
    ~Logger() override;

    bool open(std::wstring_view path, bool console_copy, int max_level) override;
    void log(std::wstring_view text, int level) override;
    void log(std::wstring&& text, int level) override;
    using ILogger::log;
    void stop() override;

    struct record {
        int level = 3;
        std::wstring text;
        std::int64_t time = 0;
    };

    static constexpr std::wstring_view closing_line = L"=====\t=====\t=====\r\n";

private:
    class wait_records;

    void push(record r);
    void stop_writer() noexcept;
    std::int64_t now() const;
    tavik::details::future<void> writer_loop();
    tavik::details::future<void> write_file_coroutine(const void* data, std::uint32_t bytes);
    void drop_file(HRESULT error) noexcept;

    logger_environment environment_;
    tavik::io::overlapped_file file_;
    std::atomic<int> max_level_{3};
    bool console_copy_ = false;
    // The console copy's destination: WriteConsoleW on a console, UTF-8 WriteFile when redirected.
    struct console_target {
        HANDLE handle = nullptr;
        bool terminal = false;
        static console_target of(HANDLE handle) noexcept;
        void write(std::wstring_view text) const noexcept;
    };
    console_target console_;
    tavik::details::future<void> writer_;
    std::uint64_t write_offset_ = 0;

    // Lock rule: queue_lock_ guards queue_, waiting_ and stopping_, and is held only to push, to
    // take records, to hand records to the waiting writer and to raise or clear the stop; never
    // across I/O or a resumption.
    SRWLOCK queue_lock_ = SRWLOCK_INIT;
    std::vector<record> queue_;
    wait_records* waiting_ = nullptr;
    // Set by the stop, cleared by open. A flag rather than a queued record: stopping must not need
    // memory, or a stop that failed would leave the writer running past the destructor. While it
    // is set nothing more is queued.
    bool stopping_ = false;
};
