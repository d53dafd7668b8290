// The program itself: later starts hand their command line to the first instance and leave without
// a window; starts at the same moment still give exactly one window.
#include "main_window.h"

#include <plendor/single_instance.h>

#include <testing/support/child_process.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

using namespace plendor_test;
using namespace std::chrono_literals;

std::wstring plendor_program() { return program_folder() + L"plendor\\plendor.exe"; }

running_program start_plendor(const std::wstring& arguments)
{
    return running_program(L"\"" + plendor_program() + L"\" " + arguments);
}

// The visible dialogs of the utility with this title, in any process: by default its main windows.
std::vector<HWND> utility_windows(const std::wstring& wanted = L"Quvan Software Tovalind")
{
    struct search {
        const std::wstring& wanted;
        std::vector<HWND> found;
    } s{wanted, {}};
    EnumWindows(
        [](HWND w, LPARAM p) -> BOOL {
            auto& s = *reinterpret_cast<search*>(p);
            wchar_t title[64] = {}, type[16] = {};
            GetWindowTextW(w, title, 64);
            GetClassNameW(w, type, 16);
            if (title == s.wanted && std::wstring(type) == L"#32770" && IsWindowVisible(w))
                s.found.push_back(w);
            return TRUE;
        },
        reinterpret_cast<LPARAM>(&s));
    return s.found;
}

bool wait_until(const std::function<bool()>& condition, std::chrono::milliseconds timeout = 15s)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        Sleep(20);
    }
    return true;
}

std::size_t refreshes(const service_stand_in& service)
{
    std::size_t n = 0;
    for (const auto& line : service.requests())
        n += line == "list_folders";
    return n;
}

TEST(SingleInstance, ASecondStartHandsOverItsVerbAndLeavesWithoutAWindow)
{
    service_stand_in service({L"C:\\a"});
    main_window first(L"plendor.exe");
    ASSERT_TRUE(first.wait_until([&] { return IsWindowEnabled(first.control(main_ids::list)); }));
    ASSERT_EQ(utility_windows().size(), 1u);

    running_program second = start_plendor(L"--recover C:\\a --optimize \"C:\\x y\"");
    EXPECT_EQ(second.wait(15s), 0);
    ASSERT_TRUE(first.wait_until([&] { return first.calls().size() >= 3; }));
    EXPECT_EQ(first.calls(), (std::vector<std::wstring>{L"notice", L"update", L"optimize C:\\x y"}));
    EXPECT_EQ(utility_windows().size(), 1u);
    EXPECT_EQ(refreshes(service), 2u);

    // A convert without its folder is a syntax error: the command is dropped.
    running_program third = start_plendor(L"--convert");
    EXPECT_EQ(third.wait(15s), 0);
    Sleep(300);
    EXPECT_EQ(refreshes(service), 2u);
    EXPECT_EQ(first.calls().size(), 3u);

    // Without a verb: the notice and the update check again.
    running_program fourth = start_plendor(L"");
    EXPECT_EQ(fourth.wait(15s), 0);
    ASSERT_TRUE(first.wait_until([&] { return first.calls().size() >= 5; }));
    EXPECT_EQ(first.calls().back(), L"update");
}

TEST(SingleInstance, AfterTheFirstHasEndedTheNextStartIsFirst)
{
    service_stand_in service({L"C:\\a"});
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        // A malformed option is ignored: the utility starts as if it were absent.
        running_program first = start_plendor(round == 0 ? L"--bogus" : L"");
        ASSERT_TRUE(wait_until([] { return utility_windows().size() == 1; }));
        ASSERT_TRUE(wait_until([&] { return refreshes(service) == std::size_t(round + 1); }));
        PostMessageW(utility_windows().front(), WM_CLOSE, 0, 0);
        EXPECT_EQ(first.wait(15s), 0);
        EXPECT_TRUE(utility_windows().empty());
    }
}

TEST(SingleInstance, TwentyStartsAtOnceGiveOneWindowAndTwentyRefreshes)
{
    service_stand_in service({L"C:\\a"});
    std::vector<running_program> starts;
    for (int i = 0; i < 20; ++i)
        starts.push_back(start_plendor(L""));
    ASSERT_TRUE(wait_until([&] { return refreshes(service) >= 20; }, 60s)) << refreshes(service);
    auto ended = [&] {
        int n = 0;
        for (auto& p : starts)
            n += p.wait(0ms) == 0;
        return n;
    };
    EXPECT_TRUE(wait_until([&] { return ended() == 19; })) << ended();
    EXPECT_EQ(utility_windows().size(), 1u);
    // One pre-release notice, not one over another for each start.
    EXPECT_EQ(utility_windows(L"Quvan Software Tovalind Beta").size(), 1u);
    Sleep(300);
    EXPECT_EQ(refreshes(service), 20u);
    for (HWND w : utility_windows())
        PostMessageW(w, WM_CLOSE, 0, 0);
    int zero = 0;
    for (auto& p : starts)
        zero += p.wait(15s) == 0;
    EXPECT_EQ(zero, 20);
    // With the first instance gone, so is the section: the next start is first again.
    EXPECT_TRUE(wait_until([] {
        HANDLE section = OpenFileMappingW(FILE_MAP_READ, FALSE, instance_section_name);
        if (section)
            CloseHandle(section);
        return section == nullptr;
    }, 5s));
}

// Close is enabled from the dialog's creation on, before its WM_INITDIALOG has made the check and
// written the section; Refresh only once the first refresh, which that check starts, has ended.
bool has_written_the_section(main_window& w)
{
    return IsWindowEnabled(w.control(main_ids::refresh)) != FALSE;
}

// A start that comes while another start is between taking the instance mutex and writing the
// section must wait for it, or it finds the section empty and becomes a first instance as well.
TEST(SingleInstance, AStartWaitsForACheckInProgress)
{
    service_stand_in service({L"C:\\a"});
    main_window first(L"plendor.exe");
    ASSERT_TRUE(first.wait_until([&] { return has_written_the_section(first); }));

    // Play a concurrent start that holds the mutex and has not yet written the section.
    HANDLE mutex = CreateMutexW(nullptr, TRUE, instance_mutex_name);
    ASSERT_NE(mutex, nullptr);
    // A start that has just ended may still be holding it for a moment.
    if (GetLastError() == ERROR_ALREADY_EXISTS) {
        ASSERT_NE(WaitForSingleObject(mutex, 5000), DWORD(WAIT_TIMEOUT));
    }
    HANDLE section = OpenFileMappingW(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, instance_section_name);
    ASSERT_NE(section, nullptr) << GetLastError() << " first " << first.window() << " calls " << first.calls().size();
    auto* stored = static_cast<volatile std::uint64_t*>(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 8));
    ASSERT_NE(stored, nullptr);
    const std::uint64_t window = *stored;
    EXPECT_EQ(window, reinterpret_cast<std::uintptr_t>(first.window()));
    *stored = 0;

    running_program later = start_plendor(L"--optimize C:\\o");
    Sleep(1500);
    *stored = window;
    ReleaseMutex(mutex);
    CloseHandle(mutex);
    UnmapViewOfFile(const_cast<std::uint64_t*>(stored));
    CloseHandle(section);

    EXPECT_EQ(later.wait(15s), 0);
    ASSERT_TRUE(first.wait_until([&] { return first.calls().size() >= 3; }));
    EXPECT_EQ(first.calls().back(), L"optimize C:\\o");
    EXPECT_EQ(utility_windows().size(), 1u);
}

// Takes the instance mutex and ends without releasing it.
int abandon_instance_mutex(const test_support::child_arguments&)
{
    HANDLE mutex = CreateMutexW(nullptr, FALSE, instance_mutex_name);
    return WaitForSingleObject(mutex, 5000) == WAIT_OBJECT_0 ? 0 : 1;
}
const test_support::child_role abandon_role(L"abandon-instance-mutex", abandon_instance_mutex);

// A start that crashed inside its check leaves the mutex abandoned: the next start takes it over
// (and releases it), so the starts after it do not wait out the bound.
TEST(SingleInstance, AnAbandonedInstanceMutexCountsAsTakenOver)
{
    HANDLE keep = CreateMutexW(nullptr, FALSE, instance_mutex_name); // keeps the mutex object alive
    ASSERT_NE(keep, nullptr);
    ASSERT_EQ(test_support::run_self_as_child(L"abandon-instance-mutex").exit_code, 0);

    service_stand_in service({L"C:\\a"});
    main_window first(L"plendor.exe");
    ASSERT_TRUE(first.wait_until([&] { return has_written_the_section(first); }));
    const auto start = std::chrono::steady_clock::now();
    running_program later = start_plendor(L"--recover C:\\r");
    EXPECT_EQ(later.wait(20s), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    ASSERT_TRUE(first.wait_until([&] { return first.calls().size() >= 3; }));
    EXPECT_EQ(first.calls().back(), L"recover C:\\r");
    CloseHandle(keep);
}

// A section naming a window that no longer exists (or any other value): the later start fails its
// forward at once and ends with 0, showing nothing.
TEST(SingleInstance, AStaleWindowInTheSectionEndsTheStartQuietly)
{
    HANDLE section = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 8, instance_section_name);
    ASSERT_NE(section, nullptr);
    auto* stored = static_cast<volatile std::uint64_t*>(MapViewOfFile(section, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 8));
    ASSERT_NE(stored, nullptr);
    for (std::uint64_t value : {std::uint64_t(0x12345678), ~std::uint64_t(0)}) {
        *stored = value;
        const auto start = std::chrono::steady_clock::now();
        running_program later = start_plendor(L"--optimize C:\\o");
        EXPECT_EQ(later.wait(15s), 0);
        EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
        EXPECT_TRUE(utility_windows().empty());
        EXPECT_EQ(*stored, value);
    }
    UnmapViewOfFile(const_cast<std::uint64_t*>(stored));
    CloseHandle(section);
}

} // namespace
