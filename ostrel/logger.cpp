#include <ostrel/logger.h>

#include <quillo/render.h>
#include <tavik/error.h>
#include <tavik/thread_pool.h>

#include <ctime>
#include <utility>

ILogger* global_logger = nullptr;

void log_message(int level, std::wstring_view text)
{
    if (ILogger* logger = global_logger)
        logger->log(quillo::log_message_text(text), level);
}

void log_formatted(int level, std::wstring_view format, std::wstring_view argument)
{
    if (ILogger* logger = global_logger)
        logger->log(quillo::log_formatted_text(format, argument), level);
}

namespace {

// A pass writes its lines in pieces of about this many UTF-16 units, so that a burst of records
// does not become one huge buffer.
constexpr std::size_t flush_units = 256 * 1024;

constexpr wchar_t byte_order_mark = 0xFEFF;

const wchar_t* level_name(int level) noexcept
{
    static const wchar_t* const names[] = {L"CRITICAL", L"ERROR", L"WARNING", L"INFO", L"DEBUG"};
    if (level < 0)
        level = 0;
    if (level > 4)
        level = 4;
    return names[level];
}

std::int64_t system_time_since_1970() noexcept
{
    FILETIME ft;
    GetSystemTimePreciseAsFileTime(&ft);
    auto since_1601 = std::int64_t(std::uint64_t(ft.dwHighDateTime) << 32 | ft.dwLowDateTime);
    return since_1601 - 116444736000000000LL;
}

} // namespace

// The writer's wait for records: takes everything queued, or registers as the waiting writer so
// that the next push (or the stop) hands the queue over and resumes the writer on a thread-pool
// thread. Taking is a swap with the writer's emptied batch, so the lock is held for a constant time
// and the vectors' storage is reused, never grown under the lock once warm. Resumes with true when
// the stop came: the batch then holds the last records to write.
class Logger::wait_records {
public:
    wait_records(Logger& logger, std::vector<record>& batch) noexcept : logger_(logger), batch_(batch) {}

    bool await_ready() const noexcept { return false; }

    bool await_suspend(std::coroutine_handle<> writer) noexcept
    {
        handle_ = writer;
        AcquireSRWLockExclusive(&logger_.queue_lock_);
        if (!logger_.queue_.empty() || logger_.stopping_) {
            logger_.queue_.swap(batch_);
            stop_ = logger_.stopping_;
            ReleaseSRWLockExclusive(&logger_.queue_lock_);
            return false;
        }
        logger_.waiting_ = this;
        ReleaseSRWLockExclusive(&logger_.queue_lock_);
        return true;
    }

    bool await_resume() const noexcept { return stop_; }

private:
    friend class Logger;
    Logger& logger_;
    std::vector<record>& batch_;
    std::coroutine_handle<> handle_;
    bool stop_ = false; // written under the lock by whoever hands the queue over
};

Logger::Logger() : Logger(logger_environment{}) {}

Logger::Logger(logger_environment environment) : environment_(std::move(environment)) {}

Logger::~Logger()
{
    stop_writer();
    // The writer has ended: nothing else writes to the file or moves the offset any more, so the
    // closing line is the last thing in the file.
    if (file_) {
        try {
            tavik::details::wait_blocking_result(
                write_file_coroutine(closing_line.data(), std::uint32_t(closing_line.size() * sizeof(wchar_t))));
        } catch (...) {
            // A destructor cannot report it; the log merely lacks its end marker.
        }
    }
}

bool Logger::open(std::wstring_view path, bool console_copy, int max_level)
{
    // A second writer would drain the same queue and interleave its lines with the first's.
    stop_writer();
    // Records logged since the stop were never queued: the new writer starts with an empty queue
    // (or with what was logged before the first open).
    AcquireSRWLockExclusive(&queue_lock_);
    stopping_ = false;
    ReleaseSRWLockExclusive(&queue_lock_);

    console_copy_ = console_copy;
    max_level_.store(max_level, std::memory_order_relaxed);
    console_ = console_target::of(environment_.console ? environment_.console : GetStdHandle(STD_OUTPUT_HANDLE));

    // The writer has ended, so nothing writes to the previous file any more. Closing it first lets
    // the same path be opened again (it is not shared for writing), and an open without a path
    // stops writing to a file.
    file_.close();
    if (!path.empty()) {
        std::wstring name(path);
        HANDLE h = CreateFileW(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                               FILE_FLAG_OVERLAPPED, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return false;
        file_ = tavik::io::overlapped_file(h, environment_.file_calls ? *environment_.file_calls
                                                                 : tavik::io::system_file_io_calls());
        LARGE_INTEGER end{};
        if (!SetFilePointerEx(h, LARGE_INTEGER{}, &end, FILE_END))
            tavik::details::throw_last_error();
        write_offset_ = std::uint64_t(end.QuadPart);
        // A new file, and also an existing one that is empty, starts with the byte-order mark;
        // a file with content is appended to as it is.
        if (write_offset_ == 0)
            tavik::details::wait_blocking_result(write_file_coroutine(&byte_order_mark, sizeof byte_order_mark));
    }

    writer_ = writer_loop();
    return true;
}

std::int64_t Logger::now() const
{
    return environment_.clock ? environment_.clock() : system_time_since_1970();
}

void Logger::log(std::wstring_view text, int level)
{
    // An empty text would write nothing: not even its line's end, which the text brings.
    if (level > max_level_.load(std::memory_order_relaxed) || text.empty())
        return;
    push(record{level, std::wstring(text), now()});
}

void Logger::log(std::wstring&& text, int level)
{
    if (level > max_level_.load(std::memory_order_relaxed) || text.empty())
        return;
    push(record{level, std::move(text), now()});
}

void Logger::push(record r)
{
    AcquireSRWLockExclusive(&queue_lock_);
    if (stopping_) {
        // Lines logged after the stop are not written: the writer has been told to end with what
        // was queued before it.
        ReleaseSRWLockExclusive(&queue_lock_);
        return;
    }
    try {
        queue_.push_back(std::move(r));
    } catch (...) {
        ReleaseSRWLockExclusive(&queue_lock_);
        throw;
    }
    wait_records* writer = std::exchange(waiting_, nullptr);
    // Handing the queue over under the lock, before the resumption is queued, keeps the order:
    // the writer is the only reader, and it gets the oldest records first.
    if (writer)
        queue_.swap(writer->batch_);
    ReleaseSRWLockExclusive(&queue_lock_);
    // The writer runs on a pool thread, never on the logging thread (unless the pool refuses the
    // work, when running it here is better than losing it).
    if (writer)
        tavik::details::resume_on_thread_pool_or_inline(writer->handle_);
}

void Logger::stop()
{
    stop_writer();
}

void Logger::stop_writer() noexcept
{
    if (!writer_)
        return;
    // Nothing here allocates, so the stop cannot fail: the writer must have ended before the
    // destructor frees what it uses.
    AcquireSRWLockExclusive(&queue_lock_);
    stopping_ = true;
    wait_records* writer = std::exchange(waiting_, nullptr);
    if (writer) {
        queue_.swap(writer->batch_);
        writer->stop_ = true;
    }
    ReleaseSRWLockExclusive(&queue_lock_);
    if (writer)
        tavik::details::resume_on_thread_pool_or_inline(writer->handle_);
    // Without memory for its own frame the blocking wait polls instead, so it cannot fail either.
    tavik::details::wait_blocking(writer_);
    writer_.reset();
}

tavik::details::future<void> Logger::write_file_coroutine(const void* data, std::uint32_t bytes)
{
    // Each write reserves its own range at once, so writes issued in order never overlap.
    std::uint64_t offset = write_offset_;
    write_offset_ += bytes;
    co_await file_.write(offset, data, bytes);
}

Logger::console_target Logger::console_target::of(HANDLE handle) noexcept
{
    DWORD mode = 0;
    if (!handle || handle == INVALID_HANDLE_VALUE)
        return {};
    return {handle, GetConsoleMode(handle, &mode) != 0};
}

void Logger::console_target::write(std::wstring_view text) const noexcept
{
    if (!handle || text.empty())
        return;
    DWORD written = 0;
    if (terminal) {
        // Ignored on failure: the console copy is best effort, the file is the record.
        WriteConsoleW(handle, text.data(), DWORD(text.size()), &written, nullptr);
        return;
    }
    // Redirected to a pipe or a file (also under test runners): WriteConsoleW fails there, so the
    // text goes out as UTF-8.
    int bytes = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return;
    std::string utf8;
    try {
        utf8.resize(std::size_t(bytes));
    } catch (...) {
        return;
    }
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), utf8.data(), bytes, nullptr, nullptr);
    const char* p = utf8.data();
    while (bytes > 0) {
        if (!WriteFile(handle, p, DWORD(bytes), &written, nullptr) || written == 0)
            return; // the reader went away: nothing more to do for the console
        p += written;
        bytes -= int(written);
    }
}

void Logger::drop_file(HRESULT error) noexcept
{
    file_.close();
    std::wstring notice;
    try {
        wchar_t code[16];
        swprintf(code, 16, L"0x%08lx", static_cast<unsigned long>(error));
        notice = L"Writing the log file failed with error " + std::wstring(code) + L" (" +
                 tavik::details::hresult_error_impl::message(error) +
                 L"); further log lines are not written to the file.\r\n";
    } catch (...) {
        notice = L"Writing the log file failed; further log lines are not written to the file.\r\n";
    }
    // Said once. Without the console copy it goes to standard error: the file was the only other
    // place the lines went.
    if (console_copy_)
        console_.write(notice);
    else
        console_target::of(GetStdHandle(STD_ERROR_HANDLE)).write(notice);
}

tavik::details::future<void> Logger::writer_loop()
{
    const quillo::parsed_format line_format(
        L"{0w2arf0}.{1w2arf0}.{2} {3w2arf0}:{4w2arf0}:{5w2arf0}\t{6}\t{7}");
    std::wstring lines;
    std::vector<record> batch;
    std::int64_t cached_second = INT64_MIN;
    std::tm local{};

    for (;;) {
        batch.clear();
        const bool stop = co_await wait_records(*this, batch);
        for (std::size_t i = 0; i < batch.size(); ++i) {
            record& r = batch[i];
            std::int64_t second = r.time / 10'000'000;
            if (second != cached_second) {
                __time64_t t = second;
                if (_localtime64_s(&local, &t) != 0)
                    local = std::tm{};
                cached_second = second;
            }
            quillo::render(line_format, lines, local.tm_mday, local.tm_mon + 1, local.tm_year + 1900,
                           local.tm_hour, local.tm_min, local.tm_sec, level_name(r.level), r.text);
            bool last = i + 1 == batch.size();
            if (!lines.empty() && (last || lines.size() >= flush_units)) {
                if (console_copy_)
                    console_.write(lines);
                if (file_) {
                    try {
                        co_await write_file_coroutine(lines.data(), std::uint32_t(lines.size() * sizeof(wchar_t)));
                    } catch (const tavik::details::traceable_error& e) {
                        // A full disk must not silence the console copy, through which the one-shot
                        // commands print everything.
                        drop_file(e.code());
                    }
                }
                lines.clear();
            }
        }
        if (stop)
            co_return;
    }
}
