#include "test_support.h"

#include <tavik/unique_handle.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <utility>
#include <vector>

namespace {

// Values are small integers, 0 is empty; every close is recorded, so a double close or a leak
// shows in the list.
struct recording_traits {
    using pointer = int;
    static inline std::vector<int> closed;
    static pointer invalid() noexcept { return 0; }
    static void close(pointer value) noexcept { closed.push_back(value); }
};
using recorded = tavik::unique_resource<recording_traits>;

class unique_resource_test : public testing::Test {
protected:
    void SetUp() override { recording_traits::closed.clear(); }
    static const std::vector<int>& closed() { return recording_traits::closed; }
};

} // namespace

TEST_F(unique_resource_test, closes_each_value_once_on_reset_replacement_and_destruction)
{
    {
        recorded r(1);
        r.reset(2); // replaces: 1 closed
        r.reset(2); // the same value again: nothing closed, still owned
        EXPECT_EQ(closed(), (std::vector<int>{1}));
        r.reset(); // 2 closed, empty
        EXPECT_FALSE(r);
        r.reset(); // empty: nothing to close
        r.reset(3);
    } // 3 closed
    EXPECT_EQ(closed(), (std::vector<int>{1, 2, 3}));
}

TEST_F(unique_resource_test, moving_leaves_the_source_empty_and_closes_the_target_s_old_value)
{
    {
        recorded a(1);
        recorded b(std::move(a));
        EXPECT_FALSE(a);
        EXPECT_EQ(b.get(), 1);
        recorded c(2);
        c = std::move(b); // 2 closed, 1 moves over
        EXPECT_FALSE(b);
        EXPECT_EQ(c.get(), 1);
        EXPECT_EQ(closed(), (std::vector<int>{2}));
        recorded& self = c;
        c = std::move(self); // self-move keeps the value
        EXPECT_EQ(c.get(), 1);
    } // 1 closed once, the empty ones nothing
    EXPECT_EQ(closed(), (std::vector<int>{2, 1}));
}

TEST_F(unique_resource_test, release_gives_up_ownership_and_put_closes_before_handing_out_the_slot)
{
    recorded r(1);
    EXPECT_EQ(r.release(), 1);
    EXPECT_FALSE(r);
    r.reset(2);
    int* slot = r.put(); // an out-parameter writes the new value here
    EXPECT_EQ(closed(), (std::vector<int>{2}));
    EXPECT_EQ(*slot, 0);
    *slot = 3;
    EXPECT_EQ(r.get(), 3);
    r.reset();
    EXPECT_EQ(closed(), (std::vector<int>{2, 3}));
}

TEST(unique_handle_aliases, empty_values_match_what_the_platform_returns_on_failure)
{
    // CreateFileW fails with INVALID_HANDLE_VALUE, CreateEventW with null: each owner treats its
    // own failure value as empty and the other as a handle.
    EXPECT_EQ(tavik::unique_file().get(), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(tavik::unique_file(INVALID_HANDLE_VALUE));
    EXPECT_EQ(tavik::unique_handle().get(), nullptr);
    EXPECT_FALSE(tavik::unique_handle(nullptr));

    HANDLE raw = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(raw, nullptr);
    tavik::unique_handle event(raw);
    DWORD flags;
    EXPECT_TRUE(GetHandleInformation(raw, &flags));
    event.reset();
    EXPECT_FALSE(GetHandleInformation(raw, &flags)); // really closed
}

TEST(unique_handle_aliases, a_waiting_timer_owner_returns_only_after_the_running_callback)
{
    struct state {
        std::atomic<bool> entered{false};
        std::atomic<bool> finished{false};
    } s;
    tavik::unique_threadpool_timer_wait timer(CreateThreadpoolTimer(
        [](PTP_CALLBACK_INSTANCE, PVOID context, PTP_TIMER) {
            auto* s = static_cast<state*>(context);
            s->entered = true;
            Sleep(50);
            s->finished = true;
        },
        &s, nullptr));
    ASSERT_TRUE(timer);
    FILETIME now{0xFFFFFFFFu, 0xFFFFFFFFu}; // -1: 100 ns from now
    SetThreadpoolTimer(timer.get(), &now, 0, 0);
    ASSERT_TRUE(tavik_test::eventually([&] { return s.entered.load(); }));
    timer.reset();
    EXPECT_TRUE(s.finished); // `s` may go now: no callback is left to touch it
}
