// The shared test support itself: a child role gets its arguments exactly, its environment and
// output as asked, and the failing allocator fails only the allocation it was armed for.
#include <testing/support/child_process.h>
#include <testing/support/failing_allocator.h>
#include <testing/support/test_support.h>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <new>
#include <string>
#include <thread>

namespace {

std::string narrow(const std::wstring& text)
{
    std::string out;
    for (wchar_t c : text)
        out += c < 0x80 ? char(c) : '?';
    return out;
}

// Prints each argument between brackets, one a line.
int echo_arguments(const test_support::child_arguments& arguments)
{
    for (const auto& argument : arguments)
        std::printf("[%s]\n", narrow(argument).c_str());
    return int(arguments.size());
}
const test_support::child_role echo_role(L"echo-arguments", echo_arguments);

// Prints the variable named by its argument, or "unset".
int print_variable(const test_support::child_arguments& arguments)
{
    wchar_t value[256];
    DWORD length = GetEnvironmentVariableW(arguments.at(0).c_str(), value, 256);
    std::printf("%s\n", length == 0 ? "unset" : narrow(std::wstring(value, length)).c_str());
    return 0;
}
const test_support::child_role variable_role(L"print-variable", print_variable);

// Writes far more than a pipe holds before anyone reads it.
int write_much(const test_support::child_arguments&)
{
    const std::string line(1000, 'x');
    for (int i = 0; i < 1000; ++i)
        std::printf("%s\n", line.c_str());
    return 7;
}
const test_support::child_role much_role(L"write-much", write_much);

int never_end(const test_support::child_arguments&)
{
    Sleep(INFINITE);
    return 0;
}
const test_support::child_role never_role(L"never-end", never_end);

// Prints a line, sets the event named by its argument and waits to be ended.
int print_then_wait(const test_support::child_arguments& arguments)
{
    std::printf("waiting\n");
    std::fflush(stdout);
    HANDLE printed = OpenEventW(EVENT_MODIFY_STATE, FALSE, arguments.at(0).c_str());
    SetEvent(printed);
    Sleep(INFINITE);
    return 0;
}
const test_support::child_role waiting_role(L"print-then-wait", print_then_wait);

TEST(ChildProcess, ArgumentsArriveExactly)
{
    const test_support::child_arguments arguments = {
        L"plain", L"", L"with space", L"quote\"inside", L"trailing\\", L"two\\\\\"", L"C:\\a b\\",
    };
    const auto child = test_support::run_self_as_child(L"echo-arguments", arguments);
    EXPECT_EQ(child.exit_code, long(arguments.size()));
    std::string expected;
    for (const auto& argument : arguments)
        expected += "[" + narrow(argument) + "]\r\n"; // stdout is in text mode
    EXPECT_EQ(child.output, expected);
}

TEST(ChildProcess, EnvironmentChangesReachTheChildOnly)
{
    SetEnvironmentVariableW(L"TEST_SUPPORT_KEPT", L"kept");
    const auto set = test_support::run_self_as_child(L"print-variable", {L"TEST_SUPPORT_SET"},
                                                     {.environment = {{L"TEST_SUPPORT_SET", L"value"}}});
    EXPECT_EQ(set.output, "value\r\n");
    EXPECT_EQ(GetEnvironmentVariableW(L"TEST_SUPPORT_SET", nullptr, 0), 0u) << "changed in this program";
    const auto kept = test_support::run_self_as_child(L"print-variable", {L"TEST_SUPPORT_KEPT"},
                                                      {.environment = {{L"TEST_SUPPORT_OTHER", L"x"}}});
    EXPECT_EQ(kept.output, "kept\r\n");
    const auto removed = test_support::run_self_as_child(L"print-variable", {L"TEST_SUPPORT_KEPT"},
                                                         {.environment = {{L"TEST_SUPPORT_KEPT", L""}}});
    EXPECT_EQ(removed.output, "unset\r\n");
    SetEnvironmentVariableW(L"TEST_SUPPORT_KEPT", nullptr);
}

TEST(ChildProcess, OutputIsDrainedWhileTheChildRunsOrGoesToAFile)
{
    const auto piped = test_support::run_self_as_child(L"write-much");
    EXPECT_EQ(piped.exit_code, 7);
    EXPECT_EQ(piped.output.size(), 1000u * 1002u);

    test_support::temp_folder folder;
    const auto filed = test_support::run_self_as_child(L"write-much", {}, {.output_file = folder / L"out.txt"});
    EXPECT_EQ(filed.exit_code, 7);
    EXPECT_EQ(filed.output, "");
    EXPECT_EQ(test_support::file_size(folder / L"out.txt"), 1000u * 1002u);
}

TEST(ChildProcess, UnknownRoleAndTimeOut)
{
    const auto unknown = test_support::run_self_as_child(L"no-such-role");
    EXPECT_EQ(unknown.exit_code, 127);
    EXPECT_NE(unknown.output.find("no-such-role"), std::string::npos) << unknown.output;

    test_support::child_result late;
    EXPECT_NONFATAL_FAILURE(late = test_support::run_self_as_child(L"never-end", {}, {}, std::chrono::milliseconds(200)),
                            "did not end");
    EXPECT_EQ(late.exit_code, -1);
}

TEST(ChildProcess, TerminateEndsTheChildAndKeepsWhatItWrote)
{
    const std::wstring name = L"test-support-printed-" + std::to_wstring(GetCurrentProcessId());
    HANDLE printed = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
    auto child = test_support::start_self_as_child(L"print-then-wait", {name});
    ASSERT_TRUE(child.started());
    HANDLE either[] = {printed, child.process_handle()};
    ASSERT_EQ(WaitForMultipleObjects(2, either, FALSE, 30000), WAIT_OBJECT_0);
    const auto killed = child.terminate(55);
    EXPECT_EQ(killed.exit_code, 55);
    EXPECT_EQ(killed.output, "waiting\r\n");
    EXPECT_FALSE(child.started());
    CloseHandle(printed);

    // One that has ended already keeps its own exit code.
    auto ended = test_support::start_self_as_child(L"echo-arguments", {L"x"});
    ASSERT_EQ(WaitForSingleObject(ended.process_handle(), 30000), WAIT_OBJECT_0);
    const auto result = ended.terminate(55);
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.output, "[x]\r\n");
}

// Nothing inside an armed scope may allocate but what is tested: the outcomes are kept in plain
// variables and checked after it. The operator is called directly, since the compiler may drop
// the allocation of a new-expression whose result it sees deleted.
bool allocation_fails()
{
    try {
        ::operator delete(::operator new(16));
        return false;
    } catch (const std::bad_alloc&) {
        return true;
    }
}

TEST(FailingAllocator, FailsTheArmedAllocationOfTheArmedThreadOnly)
{
    for (int n : {0, 1, 3}) {
        SCOPED_TRACE(n);
        bool failed[6] = {};
        bool fired = false;
        {
            test_support::allocation_failure failing(n);
            for (bool& f : failed)
                f = allocation_fails();
            fired = failing.fired();
        }
        for (int i = 0; i < 6; ++i)
            EXPECT_EQ(failed[i], i == n) << i;
        EXPECT_TRUE(fired);
    }
    // Disarmed at the end of the scope, fired or not.
    bool fired = true;
    {
        test_support::allocation_failure failing(100);
        fired = failing.fired();
    }
    EXPECT_FALSE(fired);
    for (int i = 0; i < 200; ++i)
        ASSERT_FALSE(allocation_fails()) << i;
}

TEST(FailingAllocator, EveryAllocationFailsUntilTheEndOfTheScope)
{
    std::atomic<int> step{0};
    // Polled, not waited for with atomic wait: the runtime's waiting on this platform can miss a
    // notification and leave the test hanging.
    auto wait_while = [&](int value) {
        while (step.load() == value)
            Sleep(1);
    };
    bool other_thread_failed = true;
    // Made before the arming: starting a thread allocates on the starting one.
    std::thread other([&] {
        wait_while(0);
        other_thread_failed = allocation_fails();
        step = 2;
    });
    bool single = false, array = false, nothrow_null = false, fired = false;
    {
        test_support::allocation_failure failing(test_support::allocation_failure::every_allocation);
        single = allocation_fails();
        try {
            ::operator delete[](::operator new[](16));
        } catch (const std::bad_alloc&) {
            array = true;
        }
        void* p = ::operator new(16, std::nothrow);
        nothrow_null = p == nullptr;
        ::operator delete(p);
        step = 1;
        wait_while(1);
        fired = failing.fired();
    }
    other.join();
    EXPECT_TRUE(single);
    EXPECT_TRUE(array);
    EXPECT_TRUE(nothrow_null);
    EXPECT_TRUE(fired);
    EXPECT_FALSE(other_thread_failed) << "another thread's allocation failed";
    EXPECT_FALSE(allocation_fails());
}

} // namespace
