#include <ostrel/logger.h>

#include <testing/support/child_process.h>
#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <ctime>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string read_bytes(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string data;
    char chunk[65536];
    DWORD n = 0;
    while (ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0)
        data.append(chunk, n);
    CloseHandle(h);
    return data;
}

void write_bytes(const std::wstring& path, const std::string& data)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    DWORD n = 0;
    if (!data.empty())
        WriteFile(h, data.data(), DWORD(data.size()), &n, nullptr);
    CloseHandle(h);
}

std::string bytes_of(std::wstring_view text)
{
    return std::string(reinterpret_cast<const char*>(text.data()), text.size() * sizeof(wchar_t));
}

std::wstring text_of(const std::string& bytes)
{
    return std::wstring(reinterpret_cast<const wchar_t*>(bytes.data()), bytes.size() / sizeof(wchar_t));
}

const std::string bom = "\xFF\xFE";
const std::string closing = bytes_of(Logger::closing_line);

// 100-ns units since 1970 UTC of a local calendar time.
std::int64_t local_time(int year, int month, int day, int hour, int minute, int second)
{
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    tm.tm_sec = second;
    tm.tm_isdst = -1;
    return std::int64_t(_mktime64(&tm)) * 10'000'000 + 1234567; // a fraction of a second is cut off
}

logger_environment fixed_clock(std::int64_t time)
{
    logger_environment env;
    env.clock = [time] { return time; };
    return env;
}

// A console stand-in: a plain file, which is what a redirected standard output looks like.
struct console_file {
    std::wstring path;
    HANDLE handle;
    explicit console_file(std::wstring p) : path(std::move(p))
    {
        handle = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             CREATE_ALWAYS, 0, nullptr);
    }
    ~console_file() { CloseHandle(handle); }
    std::string text() const { return read_bytes(path); }
};

} // namespace

TEST(Logger, LineHasLocalTimeLevelAndTextAfterTheByteOrderMark)
{
    struct {
        int level;
        std::int64_t time;
        const wchar_t* text;
        std::wstring_view line;
    } cases[] = {
        {4, local_time(2026, 12, 8, 19, 3, 7), L"debug text\r\n", L"08.12.2026 19:03:07\tDEBUG\tdebug text\r\n"},
        {0, local_time(2027, 2, 1, 0, 0, 0), L"x\r\n", L"01.02.2027 00:00:00\tCRITICAL\tx\r\n"},
        {1, local_time(2025, 10, 31, 23, 59, 59), L"e\r\n", L"31.10.2025 23:59:59\tERROR\te\r\n"},
        {2, local_time(2026, 7, 4, 9, 5, 1), L"{braces} stay\r\n", L"04.07.2026 09:05:01\tWARNING\t{braces} stay\r\n"},
        {3, local_time(2026, 1, 9, 12, 30, 0), L"caf\u00e9\r\n", L"09.01.2026 12:30:00\tINFO\tcaf\u00e9\r\n"},
    };
    test_support::temp_folder folder;
    for (auto& c : cases) {
        std::wstring path = folder / L"line.log";
        DeleteFileW(path.c_str());
        {
            Logger logger(fixed_clock(c.time));
            ASSERT_TRUE(logger.open(path, false, 4));
            logger.log(c.text, c.level);
        }
        EXPECT_EQ(text_of(read_bytes(path)), text_of(bom + bytes_of(c.line) + closing)) << c.level;
    }
}

TEST(Logger, ByteOrderMarkOnNewAndEmptyFilesOnlyAndAppendAfterTheLastByte)
{
    test_support::temp_folder folder;
    const std::int64_t t = local_time(2026, 3, 14, 15, 9, 26);
    const std::string line = bytes_of(L"14.03.2026 15:09:26\tINFO\tnext run\r\n");
    const std::string earlier = bom + bytes_of(L"earlier\r\n") + closing;
    struct {
        const char* name;
        bool exists;
        std::string before;
        std::string after;
    } cases[] = {
        {"new file", false, "", bom + line + closing},
        {"existing empty file", true, "", bom + line + closing},
        {"existing file with content", true, earlier, earlier + line + closing},
    };
    for (auto& c : cases) {
        std::wstring path = folder / L"append.log";
        DeleteFileW(path.c_str());
        if (c.exists)
            write_bytes(path, c.before);
        {
            Logger logger(fixed_clock(t));
            ASSERT_TRUE(logger.open(path, false, 3));
            logger.log(L"next run\r\n", 3);
        }
        EXPECT_EQ(read_bytes(path), c.after) << c.name;
    }
}

TEST(Logger, RecordsAboveTheMaximumLevelAreDropped)
{
    test_support::temp_folder folder;
    std::wstring path = folder / L"levels.log";
    {
        Logger logger(fixed_clock(local_time(2026, 5, 6, 7, 8, 9)));
        ASSERT_TRUE(logger.open(path, false, 2));
        for (int level = 0; level <= 4; ++level)
            logger.log(L"level " + std::to_wstring(level) + L"\r\n", level);
    }
    EXPECT_EQ(text_of(read_bytes(path)), text_of(bom + bytes_of(L"06.05.2026 07:08:09\tCRITICAL\tlevel 0\r\n"
                                                                L"06.05.2026 07:08:09\tERROR\tlevel 1\r\n"
                                                                L"06.05.2026 07:08:09\tWARNING\tlevel 2\r\n") +
                                                 closing));
}

TEST(Logger, ClosingLineIsWrittenOnceAndLastAndOnlyWithAFile)
{
    test_support::temp_folder folder;
    std::wstring path = folder / L"closing.log";
    console_file console(folder / L"console.txt");
    {
        logger_environment env = fixed_clock(local_time(2026, 1, 2, 3, 4, 5));
        env.console = console.handle;
        Logger logger(env);
        ASSERT_TRUE(logger.open(path, true, 3));
        for (int i = 0; i < 100; ++i)
            logger.log(L"line " + std::to_wstring(i) + L"\r\n", 3);
        logger.stop();
        logger.log(L"after stop\r\n", 3); // logged after the stop: never written
    }
    std::wstring text = text_of(read_bytes(path));
    ASSERT_GE(text.size(), Logger::closing_line.size());
    EXPECT_TRUE(text.ends_with(Logger::closing_line));
    EXPECT_EQ(text.find(Logger::closing_line), text.size() - Logger::closing_line.size());
    EXPECT_NE(text.find(L"\tline 99\r\n"), std::wstring::npos);
    EXPECT_EQ(text.find(L"after stop"), std::wstring::npos);
    // The console gets the lines but never the closing line.
    EXPECT_NE(console.text().find("\tline 99\r\n"), std::string::npos);
    EXPECT_EQ(console.text().find("====="), std::string::npos);

    // Without a file: console only, and open succeeds.
    console_file console_only(folder / L"console-only.txt");
    {
        logger_environment env = fixed_clock(local_time(2026, 1, 2, 3, 4, 5));
        env.console = console_only.handle;
        Logger logger(env);
        ASSERT_TRUE(logger.open(L"", true, 3));
        logger.log(L"to the console\r\n", 3);
    }
    EXPECT_EQ(console_only.text(), "02.01.2026 03:04:05\tINFO\tto the console\r\n");
}

// A stopped logger opened again writes what is logged after the new open, but nothing of what was
// logged while it stood stopped.
TEST(Logger, ReopeningAfterAStopWritesNothingLoggedWhileStopped)
{
    test_support::temp_folder folder;
    std::wstring first = folder / L"first.log";
    std::wstring second = folder / L"second.log";
    const std::wstring prefix = L"10.11.2026 12:13:14\tINFO\t";
    {
        Logger logger(fixed_clock(local_time(2026, 11, 10, 12, 13, 14)));
        ASSERT_TRUE(logger.open(first, false, 3));
        logger.log(L"before the stop\r\n", 3);
        logger.stop();
        logger.log(L"while stopped\r\n", 3);
        logger.stop();
        logger.log(L"still stopped\r\n", 3);
        ASSERT_TRUE(logger.open(second, false, 3));
        logger.log(L"after the reopen\r\n", 3);
    }
    EXPECT_EQ(text_of(read_bytes(first)), text_of(bom + bytes_of(prefix + L"before the stop\r\n")));
    EXPECT_EQ(text_of(read_bytes(second)), text_of(bom + bytes_of(prefix + L"after the reopen\r\n") + closing));
}

TEST(Logger, ReopeningTheSameFileAppendsToIt)
{
    test_support::temp_folder folder;
    std::wstring path = folder / L"same.log";
    const std::wstring prefix = L"10.11.2026 12:13:14\tINFO\t";
    {
        Logger logger(fixed_clock(local_time(2026, 11, 10, 12, 13, 14)));
        ASSERT_TRUE(logger.open(path, false, 3));
        logger.log(L"first\r\n", 3);
        ASSERT_TRUE(logger.open(path, false, 3));
        logger.log(L"second\r\n", 3);
    }
    EXPECT_EQ(text_of(read_bytes(path)), text_of(bom + bytes_of(prefix + L"first\r\n" + prefix + L"second\r\n") + closing));
}

TEST(Logger, OpenFailsForAFileThatCannotBeOpened)
{
    test_support::temp_folder folder;
    Logger logger;
    EXPECT_FALSE(logger.open(folder / L"no such folder\\x.log", false, 3));
}

// Every line of many threads arrives whole, once, and in each thread's order.
TEST(Logger, ManyThreadsLoseNoLineAndWriteEachWhole)
{
    test_support::temp_folder folder;
    std::wstring path = folder / L"threads.log";
    constexpr int threads = 8, lines = 10'000;
    {
        Logger logger;
        ASSERT_TRUE(logger.open(path, false, 3));
        std::vector<std::thread> workers;
        for (int t = 0; t < threads; ++t)
            workers.emplace_back([&logger, t] {
                for (int i = 0; i < lines; ++i)
                    logger.log(L"thread " + std::to_wstring(t) + L" line " + std::to_wstring(i) + L" end\r\n", 3);
            });
        for (auto& w : workers)
            w.join();
    }
    std::string bytes = read_bytes(path);
    ASSERT_TRUE(bytes.starts_with(bom));
    std::wstring text = text_of(bytes.substr(2));
    ASSERT_TRUE(text.ends_with(Logger::closing_line));
    text.resize(text.size() - Logger::closing_line.size());

    std::vector<int> next(threads, 0);
    std::size_t count = 0, start = 0;
    while (start < text.size()) {
        std::size_t end = text.find(L"\r\n", start);
        ASSERT_NE(end, std::wstring::npos);
        std::wstring line = text.substr(start, end - start);
        start = end + 2;
        // "dd.mm.yyyy hh:mm:ss\tINFO\tthread T line I end"
        ASSERT_EQ(line.size() > 25 ? line.substr(19, 6) : L"", L"\tINFO\t") << count;
        int t = -1, i = -1;
        wchar_t tail[8] = {};
        ASSERT_EQ(swscanf(line.c_str() + 25, L"thread %d line %d %3ls", &t, &i, tail), 3) << line;
        ASSERT_EQ(std::wstring(tail), L"end") << line;
        ASSERT_TRUE(t >= 0 && t < threads) << line;
        ASSERT_EQ(i, next[t]) << line;
        ++next[t];
        ++count;
    }
    EXPECT_EQ(count, std::size_t(threads) * lines);
}

namespace {

// Fails every write that starts after `offset` with a full disk, at once.
class full_disk_after final : public tavik::io::file_io_calls {
public:
    explicit full_disk_after(std::uint64_t offset) : offset_(offset) {}
    BOOL read(HANDLE file, void* buffer, DWORD length, OVERLAPPED* o) noexcept override
    {
        return tavik::io::system_file_io_calls().read(file, buffer, length, o);
    }
    BOOL write(HANDLE file, const void* buffer, DWORD length, OVERLAPPED* o) noexcept override
    {
        if ((std::uint64_t(o->OffsetHigh) << 32 | o->Offset) >= offset_) {
            SetLastError(ERROR_DISK_FULL);
            return FALSE;
        }
        return tavik::io::system_file_io_calls().write(file, buffer, length, o);
    }

private:
    std::uint64_t offset_;
};

bool wait_for(auto&& condition)
{
    for (int i = 0; i < 5000; ++i) {
        if (condition())
            return true;
        Sleep(1);
    }
    return false;
}

} // namespace

TEST(Logger, AFailedFileWriteDropsTheFileButKeepsTheConsole)
{
    test_support::temp_folder folder;
    std::wstring path = folder / L"full.log";
    console_file console(folder / L"console.txt");
    full_disk_after full(2); // the byte-order mark fits, nothing else
    {
        logger_environment env = fixed_clock(local_time(2026, 6, 7, 8, 9, 10));
        env.console = console.handle;
        env.file_calls = &full;
        Logger logger(env);
        ASSERT_TRUE(logger.open(path, true, 3));
        logger.log(L"first\r\n", 3);
        ASSERT_TRUE(wait_for([&] { return console.text().find("failed") != std::string::npos; }));
        logger.log(L"second\r\n", 3);
        logger.log(L"third\r\n", 1);
    }
    std::string out = console.text();
    EXPECT_TRUE(out.starts_with("07.06.2026 08:09:10\tINFO\tfirst\r\nWriting the log file failed with error 0x80070070"))
        << out;
    EXPECT_TRUE(out.ends_with("07.06.2026 08:09:10\tINFO\tsecond\r\n07.06.2026 08:09:10\tERROR\tthird\r\n")) << out;
    std::size_t first_notice = out.find("Writing the log file failed");
    EXPECT_EQ(out.find("Writing the log file failed", first_notice + 1), std::string::npos) << "said once";
    // The file keeps what was written before the failure; no closing line goes after a gap.
    EXPECT_EQ(read_bytes(path), bom);
}

// Without the console copy (the program's "no-screen-log"), nothing goes to the console: not the
// lines, and not the notice of a failed file write, which goes to standard error instead.
TEST(Logger, WithoutTheConsoleCopyNothingGoesToTheConsole)
{
    test_support::temp_folder folder;
    std::wstring path = folder / L"quiet.log";
    console_file console(folder / L"console.txt");
    console_file errors(folder / L"errors.txt");
    const std::string first = bytes_of(L"07.06.2026 08:09:10\tINFO\tfirst\r\n");
    full_disk_after full(2 + first.size()); // the byte-order mark and the first line fit
    HANDLE standard_error = GetStdHandle(STD_ERROR_HANDLE);
    SetStdHandle(STD_ERROR_HANDLE, errors.handle);
    {
        logger_environment env = fixed_clock(local_time(2026, 6, 7, 8, 9, 10));
        env.console = console.handle;
        env.file_calls = &full;
        Logger logger(env);
        ASSERT_TRUE(logger.open(path, false, 3));
        logger.log(L"first\r\n", 3);
        EXPECT_TRUE(wait_for([&] { return read_bytes(path).size() == 2 + first.size(); }));
        logger.log(L"second\r\n", 3);
        EXPECT_TRUE(wait_for([&] { return errors.text().find("failed") != std::string::npos; }));
    }
    SetStdHandle(STD_ERROR_HANDLE, standard_error);
    EXPECT_EQ(console.text(), "");
    EXPECT_EQ(read_bytes(path), bom + first);
    EXPECT_TRUE(errors.text().starts_with("Writing the log file failed with error 0x80070070")) << errors.text();
}

// The child half of the redirection test: prints through a logger that copies to the console.
int print_through_the_logger(const test_support::child_arguments&)
{
    Logger logger;
    if (!logger.open(L"", true, 3))
        return 1;
    logger.log(L"redirected caf\u00e9 \u2713\r\n", 3);
    return 0;
}
const test_support::child_role redirected_child(L"logger-redirected", print_through_the_logger);

// Standard output redirected to a pipe or a file, as by a shell or a test runner: the console copy
// must still arrive, as UTF-8.
TEST(Logger, ConsoleCopyIsVisibleWhenStandardOutputIsRedirected)
{
    test_support::temp_folder folder;
    const std::string expected = "\tINFO\tredirected caf\xC3\xA9 \xE2\x9C\x93\r\n";

    // To a pipe.
    const auto piped = test_support::run_self_as_child(L"logger-redirected");
    EXPECT_EQ(piped.exit_code, 0) << "the child's logger did not open";
    EXPECT_NE(piped.output.find(expected), std::string::npos) << piped.output;

    // To a file.
    const std::wstring out_path = folder / L"redirected.txt";
    const auto filed_run = test_support::run_self_as_child(L"logger-redirected", {}, {.output_file = out_path});
    EXPECT_EQ(filed_run.exit_code, 0) << "the child's logger did not open";
    std::string filed = read_bytes(out_path);
    EXPECT_NE(filed.find(expected), std::string::npos) << filed;
}

TEST(Logger, HelpersGoThroughTheGlobalLogger)
{
    test_support::temp_folder folder;
    std::wstring path = folder / L"global.log";
    {
        Logger logger(fixed_clock(local_time(2026, 8, 9, 10, 11, 12)));
        ASSERT_TRUE(logger.open(path, false, 4));
        global_logger = &logger;
        log_formatted(3, L"Optimize operation started on {}\r\n", L"C:\\odd {name}");
        log_message(4, L"literal {{braces}\r\n");
        global_logger = nullptr;
        log_message(3, L"nobody hears this\r\n");
    }
    EXPECT_EQ(text_of(read_bytes(path)),
              text_of(bom + bytes_of(L"09.08.2026 10:11:12\tINFO\tOptimize operation started on C:\\odd {name}\r\n"
                                     L"09.08.2026 10:11:12\tDEBUG\tliteral {braces}\r\n") +
                      closing));
}
