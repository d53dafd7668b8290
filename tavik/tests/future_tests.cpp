#include <tavik/cancellation.h>
#include <tavik/future.h>
#include <tavik/lock_guard.h>
#include <tavik/shared_future.h>
#include <tavik/thread_pool.h>
#include <tavik/timer.h>
#include <tavik/when_both_done.h>

#include <gtest/gtest.h>

using namespace tavik::details;

namespace {

future<int> forty_two() { co_return 42; }

future<int> add_one(future<int> f)
{
    co_await resume_on_thread_pool();
    co_return co_await f + 1;
}

future<void> bound(cancellation_source source)
{
    cancellation_token token(source, co_await this_promise);
    cancellation_subscription sub(token, [] {});
    auto_cancel_timer timer(token);
    co_await timer.wait(std::chrono::milliseconds(1));
}

} // namespace

TEST(future_smoke, basic)
{
    EXPECT_EQ(wait_blocking_result(add_one(forty_two())), 43);
    auto shared = make_shared_future(forty_two());
    EXPECT_EQ(wait_blocking_result(shared_future_impl<int>::as_future(shared)), 42);
    cancellation_source source;
    wait_blocking_result(bound(source));
    wait_blocking_result(when_both_done(bound(source), bound(source)));
}
