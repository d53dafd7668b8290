#include "server_test_support.h"

#include <testing/support/child_process.h>
#include <testing/support/test_support.h>

#include <thread>

namespace server_test {

recording_logger::recording_logger() : previous_(global_logger) { global_logger = this; }

recording_logger::~recording_logger() { global_logger = previous_; }

void recording_logger::log(std::wstring_view text, int level)
{
    std::lock_guard guard(lock_);
    lines_.push_back({std::wstring(text), level});
}

void recording_logger::log(std::wstring&& text, int level)
{
    std::lock_guard guard(lock_);
    lines_.push_back({std::move(text), level});
}

std::vector<recording_logger::line> recording_logger::lines() const
{
    std::lock_guard guard(lock_);
    return lines_;
}

std::wstring recording_logger::all() const
{
    std::wstring out;
    for (const auto& l : lines())
        out += l.text;
    return out;
}

bool recording_logger::wait_for(std::wstring_view part, std::chrono::milliseconds timeout) const
{
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    do {
        if (all().find(part) != std::wstring::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < deadline);
    return false;
}

void make_duplicated_files(const std::wstring& folder, int count, std::size_t size)
{
    test_support::bytes first(size);
    std::uint32_t x = 12345;
    for (auto& b : first) {
        x = x * 1103515245 + 12345;
        b = std::byte(x >> 24);
    }
    for (int i = 0; i < count; ++i) {
        test_support::bytes content = first;
        if (i % 2 == 1) {
            // Every other file differs from the first: the rest are copies of it.
            for (auto& b : content) {
                x = x * 1103515245 + 12345;
                b = std::byte(x >> 24);
            }
        }
        test_support::write_file(folder + L"\\file" + std::to_wstring(i) + L".bin", content);
    }
}

std::wstring dedup_program()
{
    std::wstring self = test_support::this_program();
    return self.substr(0, self.find_last_of(L'\\') + 1) + L"dedup.exe";
}

std::string to_utf8(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int n = WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), nullptr, 0, nullptr, nullptr);
    std::string out(std::size_t(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), int(text.size()), out.data(), n, nullptr, nullptr);
    return out;
}

program_result run_dedup(const std::wstring& arguments, std::chrono::milliseconds timeout, const std::wstring& directory)
{
    static std::atomic<int> counter{0};
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    const std::wstring output_path = std::wstring(temp) + L"dedup-output-" + std::to_wstring(GetCurrentProcessId()) +
                                     L"-" + std::to_wstring(++counter) + L".txt";
    SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
    HANDLE output = CreateFileW(output_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    program_result result;
    if (output == INVALID_HANDLE_VALUE)
        return result;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = nullptr;
    startup.hStdOutput = output;
    startup.hStdError = output;
    std::wstring command = L"\"" + dedup_program() + L"\" " + arguments;
    PROCESS_INFORMATION process{};
    const BOOL started = test_support::create_process(nullptr, command.data(), TRUE, CREATE_NO_WINDOW, nullptr,
                                                      directory.empty() ? nullptr : directory.c_str(), &startup,
                                                      &process);
    CloseHandle(output);
    if (started) {
        CloseHandle(process.hThread);
        if (WaitForSingleObject(process.hProcess, DWORD(timeout.count())) != WAIT_OBJECT_0)
            TerminateProcess(process.hProcess, 0xDEAD);
        DWORD code = 0;
        GetExitCodeProcess(process.hProcess, &code);
        result.exit_code = long(code);
        CloseHandle(process.hProcess);
        // Shared for writing too: a helper process Wine starts for the child may still hold the
        // inherited handle.
        HANDLE h = CreateFileW(output_path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE) {
            char buffer[65536];
            DWORD n = 0;
            while (ReadFile(h, buffer, sizeof(buffer), &n, nullptr) && n > 0)
                result.output.append(buffer, n);
            CloseHandle(h);
        }
    }
    DeleteFileW(output_path.c_str());
    return result;
}

} // namespace server_test
