#include "test_support.h"

#include <tavik/cancellation.h>
#include <tavik/future.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

using namespace tavik::details;
using tavik_test::eventually;
using tavik_test::parked;

TEST(cancellation, cancelling_twice_runs_every_callback_once)
{
    cancellation_source source;
    cancellation_token t1(source), t2(source);
    std::atomic<int> a{0}, b{0}, c{0};
    cancellation_subscription s1(t1, [&] { ++a; });
    cancellation_subscription s2(t1, [&] { ++b; });
    cancellation_subscription<> s3(t2, [&] { ++c; });
    EXPECT_FALSE(source.is_cancelled());
    source.cancel();
    source.cancel();
    EXPECT_TRUE(source.is_cancelled());
    EXPECT_TRUE(t1.is_cancelled());
    EXPECT_TRUE(eventually([&] { return a == 1 && b == 1 && c == 1; }));
    Sleep(20);
    EXPECT_EQ(a + b + c, 3);
}

TEST(cancellation, callbacks_run_on_pool_threads)
{
    cancellation_source source;
    cancellation_token token(source);
    std::atomic<DWORD> ran_on{0};
    cancellation_subscription sub(token, [&] { ran_on = GetCurrentThreadId(); });
    source.cancel();
    ASSERT_TRUE(eventually([&] { return ran_on != 0; }));
    EXPECT_NE(ran_on.load(), GetCurrentThreadId());
}

TEST(cancellation, registering_on_a_cancelled_source_or_token_raises)
{
    cancellation_source source;
    cancellation_token token(source);
    source.cancel();
    EXPECT_THROW(cancellation_token late(source), operation_cancelled);
    bool ran = false;
    EXPECT_THROW(cancellation_subscription sub(token, [&] { ran = true; }), operation_cancelled);
    Sleep(10);
    EXPECT_FALSE(ran);
}

TEST(cancellation, subscription_dropped_before_cancel_never_runs)
{
    cancellation_source source;
    cancellation_token token(source);
    std::atomic<int> runs{0};
    {
        cancellation_subscription sub(token, [&] { ++runs; });
    }
    cancellation_subscription kept(token, [&] { runs += 10; });
    source.cancel();
    ASSERT_TRUE(eventually([&] { return runs >= 10; }));
    Sleep(10);
    EXPECT_EQ(runs, 10);
}

TEST(cancellation, destroying_a_subscription_waits_for_its_running_callback)
{
    cancellation_source source;
    cancellation_token token(source);
    std::atomic<bool> started{false}, finished{false};
    auto sub = std::make_unique<cancellation_subscription<std::function<void()>>>(token, [&] {
        started = true;
        Sleep(100);
        finished = true;
    });
    source.cancel();
    ASSERT_TRUE(eventually([&] { return started.load(); }));
    sub.reset();
    EXPECT_TRUE(finished);
}

TEST(cancellation, a_callback_may_destroy_its_own_subscription)
{
    // The destructor runs on the thread of the very callback it would wait for. The state is
    // leaked when a callback hangs, so that a failure cannot turn into a crash.
    using subscription_t = cancellation_subscription<std::function<void()>>;
    struct state {
        cancellation_source source;
        cancellation_token token{source};
        std::unique_ptr<subscription_t> subs[3];
        std::atomic<int> ran{0};
        std::atomic<bool> returned{false};
    };

    // On a pool thread.
    auto pooled = std::make_unique<state>();
    pooled->subs[0] = std::make_unique<subscription_t>(pooled->token, [s = pooled.get()] {
        state* st = s; // the closure goes with the subscription
        st->subs[0].reset();
        st->returned = true;
    });
    pooled->source.cancel();
    if (!eventually([&] { return pooled->returned.load(); })) {
        pooled.release();
        FAIL() << "the subscription's destructor waited for its own callback";
    }

    // Refused by the pool: the callbacks run one after another on the cancelling thread, and the
    // first one destroys all three subscriptions, so the two still queued behind it must not run.
    auto refused = std::make_unique<state>();
    for (auto& sub : refused->subs) {
        sub = std::make_unique<subscription_t>(refused->token, [s = refused.get()] {
            state* st = s;
            if (st->ran++ == 0) {
                for (auto& other : st->subs)
                    other.reset();
            }
        });
    }
    std::thread canceller([s = refused.get()] {
        s->source.cancel(&tavik_test::refusing_submitter);
        s->returned = true;
    });
    if (!eventually([&] { return refused->returned.load(); })) {
        canceller.detach();
        refused.release();
        FAIL() << "cancel hung in a callback that destroyed its subscriptions";
    }
    canceller.join();
    EXPECT_EQ(refused->ran, 1);
}

TEST(cancellation, a_throwing_callback_does_not_hang_the_subscription)
{
    cancellation_source source;
    cancellation_token token(source);
    std::atomic<bool> ran{false};
    {
        cancellation_subscription sub(token, [&] {
            ran = true;
            throw_hresult(E_FAIL);
        });
        cancellation_subscription empty(token, std::function<void()>{}); // raises bad_function_call
        source.cancel();
        ASSERT_TRUE(eventually([&] { return ran.load(); }));
    } // both destructors return
    SUCCEED();
}

TEST(cancellation, parents_cancel_linked_children_and_skip_dropped_ones)
{
    cancellation_source parent;
    cancellation_source child = make_linked_cancellation_source(parent);
    cancellation_source grandchild = make_linked_cancellation_source(child);
    std::optional<cancellation_source> dropped = make_linked_cancellation_source(parent);
    dropped.reset();
    cancellation_token token(grandchild);
    std::atomic<bool> ran{false};
    cancellation_subscription sub(token, [&] { ran = true; });
    parent.cancel();
    EXPECT_TRUE(child.is_cancelled());
    EXPECT_TRUE(grandchild.is_cancelled());
    EXPECT_TRUE(token.is_cancelled());
    EXPECT_TRUE(eventually([&] { return ran.load(); }));
    // Cancelling a child leaves its parent alone.
    cancellation_source p2 = make_cancellation_source_body();
    cancellation_source c2 = make_linked_cancellation_source(p2);
    c2.cancel();
    EXPECT_FALSE(p2.is_cancelled());
}

TEST(cancellation, child_of_a_cancelled_parent_starts_cancelled)
{
    cancellation_source parent;
    parent.cancel();
    cancellation_source child = make_linked_cancellation_source(parent);
    EXPECT_TRUE(child.is_cancelled());
    EXPECT_THROW(cancellation_token token(child), operation_cancelled);
}

TEST(cancellation, many_dropped_children_do_not_lose_live_ones)
{
    // Linking prunes children that their owners dropped; the live ones must all stay linked.
    cancellation_source parent;
    std::vector<cancellation_source> kept;
    for (int i = 0; i < 5000; ++i) {
        cancellation_source child = make_linked_cancellation_source(parent);
        if (i % 10 == 0)
            kept.push_back(child);
    }
    parent.cancel();
    for (auto& child : kept)
        EXPECT_TRUE(child.is_cancelled());
}

TEST(cancellation, bound_coroutine_raises_at_its_next_await)
{
    cancellation_source source;
    parked gate;
    auto body = [](cancellation_source src, parked& g) -> future<int> {
        cancellation_token token(src, co_await this_promise);
        co_await g;
        co_await resume_on_thread_pool(); // cancelled before it is awaited
        co_return 1;
    };
    future<int> f = body(source, gate);
    source.cancel();
    gate.resume();
    EXPECT_THROW(wait_blocking_result(std::move(f)), operation_cancelled);
}

// `co_await f()` starts f before the awaiting coroutine tests its flag. A cancel that lands in
// between must not leave f running on alone: its frame uses what the awaiting coroutine owns.
TEST(cancellation, a_future_started_before_the_test_is_awaited_before_raising)
{
    cancellation_source source;
    auto release = std::make_shared<promise_type_<void>>();
    bool child_done = false;
    auto child = [](cancellation_source src, std::shared_ptr<promise_type_<void>> gate, bool& done) -> future<int> {
        src.cancel(); // after the start, before the awaiting coroutine tests its flag
        co_await *gate;
        done = true;
        co_return 7;
    };
    auto parent = [&]() -> future<int> {
        cancellation_token token(source, co_await this_promise);
        co_return co_await child(source, release, child_done);
    };
    future<int> f = parent();
    EXPECT_FALSE(f.is_ready());
    complete_async(release);
    EXPECT_THROW(wait_blocking_result(std::move(f)), operation_cancelled);
    EXPECT_TRUE(child_done);
}

// Bounded stress of the same race with real threads: a loop reads from an operation that uses the
// loop's own buffer and completes on the thread pool, while another thread cancels the loop's
// source at a varying moment. Every operation must have ended before the loop does.
TEST(cancellation, stress_cancel_racing_the_start_of_an_awaited_operation)
{
    struct buffer {
        std::atomic<int> users{0};
        std::atomic<bool> gone{false};
    };
    // The operation: leaves the caller's thread, then writes into the caller's buffer.
    static constexpr auto operation = [](buffer* into) -> future<void> {
        ++into->users;
        co_await resume_on_thread_pool();
        Sleep(0);
        if (into->gone.load())
            ++into->users; // a use after the owner has ended: counted below
        --into->users;
    };
    constexpr int rounds = 300;
    std::atomic<int> late{0};
    for (int i = 0; i < rounds; ++i) {
        cancellation_source source;
        auto state = std::make_shared<buffer>();
        auto loop = [](cancellation_source src, std::shared_ptr<buffer> owned) -> future<void> {
            cancellation_token token(src, co_await this_promise);
            struct end_of_owner {
                buffer* b;
                ~end_of_owner() { b->gone.store(true); }
            } owner{owned.get()};
            for (;;)
                co_await operation(owned.get());
        };
        future<void> f = loop(source, state);
        const auto cancel_at = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 10) * 15);
        while (std::chrono::steady_clock::now() < cancel_at) {
        }
        source.cancel();
        EXPECT_THROW(wait_blocking_result(std::move(f)), operation_cancelled);
        // Whatever an abandoned operation would still do, it does within a moment.
        if (state->users.load() != 0) {
            eventually([&] { return state->users.load() == 0; }, std::chrono::milliseconds(200));
            ++late;
        }
    }
    EXPECT_EQ(late, 0);
}

TEST(cancellation, subscription_ends_a_pending_operation)
{
    // The pattern of a pipe read or a queue pop: the operation's own subscription completes it.
    cancellation_source source;
    auto body = [](cancellation_source src) -> future<HRESULT> {
        cancellation_token token(src, co_await this_promise);
        auto pending = std::make_shared<promise_type_<void>>();
        cancellation_subscription sub(token, [pending] {
            pending->set_exception(std::make_exception_ptr(make_operation_cancelled()));
        });
        try {
            co_await *pending;
        } catch (const operation_cancelled& e) {
            co_return e.code();
        }
        co_return S_OK;
    };
    future<HRESULT> f = body(source);
    EXPECT_FALSE(f.is_ready());
    source.cancel();
    EXPECT_EQ(wait_blocking_result(std::move(f)), cancelled_hresult);
}

TEST(cancellation, refused_callbacks_run_on_the_cancelling_thread_after_the_locks)
{
    cancellation_source source;
    cancellation_token token(source);
    DWORD ran_on = 0;
    bool saw_cancelled = false;
    cancellation_subscription sub(token, [&] {
        // Each of these takes the source's lock: a callback run under it would deadlock.
        saw_cancelled = source.is_cancelled();
        source.cancel();
        (void)make_linked_cancellation_source(source);
        ran_on = GetCurrentThreadId();
    });
    source.cancel(&tavik_test::refusing_submitter);
    EXPECT_EQ(ran_on, GetCurrentThreadId());
    EXPECT_TRUE(saw_cancelled);
}

TEST(cancellation, stress_token_creation_racing_cancel)
{
    // A token either fails with operation_cancelled or is marked by the cancel: never neither.
    // Threads make tokens without pause until the cancel stops them, so the cancel falls between
    // the test and the link of some token in most rounds.
    constexpr int rounds = 150;
    constexpr int creators = 3;
    std::atomic<int> missed{0};
    for (int i = 0; i < rounds; ++i) {
        cancellation_source source;
        std::atomic<int> started{0};
        std::vector<std::thread> threads;
        for (int c = 0; c < creators; ++c) {
            threads.emplace_back([&] {
                std::vector<std::unique_ptr<promise_base>> coroutines;
                std::vector<std::unique_ptr<cancellation_token>> tokens;
                ++started;
                try {
                    for (;;) {
                        coroutines.push_back(std::make_unique<promise_base>());
                        tokens.push_back(std::make_unique<cancellation_token>(source, coroutines.back().get()));
                    }
                } catch (const operation_cancelled&) {
                }
                // The creation failed once the cancel had released the source: it is complete.
                for (std::size_t k = 0; k < tokens.size(); ++k) {
                    if (!tokens[k]->is_cancelled() || !coroutines[k]->is_cancelled())
                        ++missed;
                }
            });
        }
        while (started < creators) {
        }
        const auto cancel_at = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 8) * 20);
        while (std::chrono::steady_clock::now() < cancel_at) {
        }
        source.cancel();
        for (auto& t : threads)
            t.join();
    }
    EXPECT_EQ(missed, 0);
}

TEST(cancellation, stress_subscription_racing_cancel)
{
    // A subscription either fails with operation_cancelled or its callback runs exactly once.
    // Threads register on one token without pause until the cancel stops them, so the cancel falls
    // between some registration's test of the token and its link in many rounds. A registrar stops
    // at a cap, so that a cancel kept from the token's lock by the registrations still gets
    // through. Most rounds run the callbacks on the cancelling thread (the pool refuses them),
    // which keeps a round cheap; every eighth goes through the pool.
    constexpr int rounds = 64;
    constexpr int registrars = 3;
    constexpr std::size_t cap = 500;
    using subscription = cancellation_subscription<std::function<void()>>;
    std::atomic<int> wrong{0};
    for (int i = 0; i < rounds; ++i) {
        cancellation_source source;
        cancellation_token token(source);
        std::atomic<int> started{0};
        std::vector<std::thread> threads;
        for (int r = 0; r < registrars; ++r) {
            threads.emplace_back([&] {
                std::vector<std::unique_ptr<std::atomic<int>>> runs;
                std::vector<std::unique_ptr<subscription>> subscriptions;
                runs.reserve(cap);
                subscriptions.reserve(cap);
                ++started;
                try {
                    while (subscriptions.size() < cap) {
                        auto count = std::make_unique<std::atomic<int>>(0);
                        subscriptions.push_back(
                            std::make_unique<subscription>(token, [c = count.get()] { ++*c; }));
                        runs.push_back(std::move(count));
                    }
                } catch (const operation_cancelled&) {
                }
                while (!token.is_cancelled()) {
                }
                // The cancel has passed the token, so every linked subscription has been started;
                // destruction waits for each callback to return.
                subscriptions.clear();
                for (auto& count : runs) {
                    if (*count != 1)
                        ++wrong;
                }
            });
        }
        while (started < registrars) {
        }
        const auto cancel_at = std::chrono::steady_clock::now() + std::chrono::microseconds((i % 8) * 20);
        while (std::chrono::steady_clock::now() < cancel_at) {
        }
        source.cancel(i % 8 ? &tavik_test::refusing_submitter : &TrySubmitThreadpoolCallback);
        for (auto& t : threads)
            t.join();
    }
    EXPECT_EQ(wrong, 0);
}
