// The logger when memory runs out: stopping it must still end its writer, or the destructor would
// free what the writer still uses.
#include <ostrel/logger.h>

#include <testing/support/failing_allocator.h>
#include <testing/support/test_support.h>

#include <gtest/gtest.h>

#include <string>

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

} // namespace

// The writer waits with an empty queue that has no room, so anything the stop tried to queue would
// need memory. The stop must end the writer anyway: when it returns, the writer has written what
// came before and is gone, and what is logged afterwards is not written.
TEST(LoggerAllocationFailure, StopEndsTheWriterWithoutMemory)
{
    test_support::temp_folder folder;
    const std::wstring path = folder / L"logger-stop-without-memory.log";
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
            test_support::allocation_failure failing(test_support::allocation_failure::every_allocation);
            logger.stop();
        }
        logger.log(L"after the stop\r\n", 3);
    }
    const std::wstring text = log_text(path);
    EXPECT_TRUE(text.ends_with(first + std::wstring(Logger::closing_line))) << text.size();
    EXPECT_EQ(text.find(L"after the stop"), std::wstring::npos);
}
