// The logger when memory runs out: stopping it must still end its writer, or the destructor would
// free what the writer still uses.
#include <ostrel/logger.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

// The test program's allocator, with one switch: while a thread has armed it, every allocation
// that thread makes fails. Everything else is passed to malloc, as the library's own operator new
// does, so the library's operator delete (free) still matches it.
namespace {
std::atomic<DWORD> failing_thread{0};

struct allocations_fail_on_this_thread {
    allocations_fail_on_this_thread() noexcept { failing_thread.store(GetCurrentThreadId()); }
    ~allocations_fail_on_this_thread() { failing_thread.store(0); }
    allocations_fail_on_this_thread(const allocations_fail_on_this_thread&) = delete;
    allocations_fail_on_this_thread& operator=(const allocations_fail_on_this_thread&) = delete;
};
} // namespace

void* operator new(std::size_t size)
{
    if (failing_thread.load(std::memory_order_relaxed) == GetCurrentThreadId())
        throw std::bad_alloc();
    if (void* p = std::malloc(size ? size : 1))
        return p;
    throw std::bad_alloc();
}

namespace {

std::wstring log_text(const std::wstring& path)
{
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           nullptr, OPEN_EXISTING, 0, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return L"<missing>";
    std::string data;
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0)
        data.append(chunk, n);
    CloseHandle(h);
    return std::wstring(reinterpret_cast<const wchar_t*>(data.data()), data.size() / sizeof(wchar_t));
}

std::wstring temp_log_path(const wchar_t* name)
{
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    return std::wstring(temp) + name + L"-" + std::to_wstring(GetCurrentProcessId()) + L".log";
}

} // namespace

// The writer waits with an empty queue that has no room, so anything the stop tried to queue would
// need memory. The stop must end the writer anyway: when it returns, the writer has written what
// came before and is gone, and what is logged afterwards is not written.
TEST(LoggerAllocationFailure, StopEndsTheWriterWithoutMemory)
{
    const std::wstring path = temp_log_path(L"logger-stop-without-memory");
    DeleteFileW(path.c_str());
    const std::wstring first = L"\tINFO\tbefore the stop\r\n";
    {
        Logger logger;
        ASSERT_TRUE(logger.open(path, false, 3));
        logger.log(L"before the stop\r\n", 3);
        bool written = false;
        for (int i = 0; i < 5000 && !written; ++i) {
            written = log_text(path).ends_with(first);
            if (!written)
                Sleep(1);
        }
        ASSERT_TRUE(written);
        {
            allocations_fail_on_this_thread failing;
            logger.stop();
        }
        logger.log(L"after the stop\r\n", 3);
    }
    const std::wstring text = log_text(path);
    DeleteFileW(path.c_str());
    EXPECT_TRUE(text.ends_with(first + std::wstring(Logger::closing_line))) << text.size();
    EXPECT_EQ(text.find(L"after the stop"), std::wstring::npos);
}
