// Coroutine round trips and the cost of raising errors with stack traces.

#include <harness.h>

#include <tavik/error.h>
#include <tavik/future.h>
#include <tavik/thread_pool.h>

#include <coroutine>

using namespace tavik::details;

namespace {

constexpr int runs = 7;

future<int> finished(int v) { co_return v; }

// Suspends the awaiting coroutine and keeps its handle for the driver loop to resume.
struct parked {
    std::coroutine_handle<> handle;
    bool await_ready() const noexcept { return false; }
    void await_suspend(std::coroutine_handle<> h) noexcept { handle = h; }
    void await_resume() const noexcept {}
};

future<int> suspending_child(parked& slot, int v)
{
    co_await slot;
    co_return v;
}

future<long long> await_loop(parked& slot, int count)
{
    long long sum = 0;
    for (int i = 0; i < count; ++i)
        sum += co_await suspending_child(slot, i);
    co_return sum;
}

future<long long> ready_loop(int count)
{
    long long sum = 0;
    for (int i = 0; i < count; ++i)
        sum += co_await finished(i);
    co_return sum;
}

future<int> pool_hops(int count)
{
    for (int i = 0; i < count; ++i)
        co_await resume_on_thread_pool();
    co_return count;
}

// Both functions end only by raising, which GCC takes for endless recursion.
#pragma GCC diagnostic ignored "-Winfinite-recursion"

__attribute__((noinline)) void raise_at_depth(int depth)
{
    if (depth == 0)
        throw_hresult(E_FAIL);
    raise_at_depth(depth - 1);
    asm volatile("" ::: "memory");
}

__attribute__((noinline)) void raise_untraced_at_depth(int depth)
{
    if (depth == 0)
        throw basic_traceable_error<hresult_error_impl, bases::empty>(E_FAIL);
    raise_untraced_at_depth(depth - 1);
    asm volatile("" ::: "memory");
}

} // namespace

int main()
{
    {
        constexpr int count = 200'000;
        long long sink = 0;
        const double s = bench::median_seconds(runs, [&] { sink += wait_blocking_result(ready_loop(count)); });
        bench::report("tavik_await_ready_per_s", count / s, "awaits/s");
        (void)sink;
    }
    {
        // Suspend, complete from outside, resume the awaiter by symmetric transfer, release.
        constexpr int count = 200'000;
        const double s = bench::median_seconds(runs, [&] {
            parked slot;
            future<long long> loop = await_loop(slot, count);
            while (!loop.is_ready())
                slot.handle.resume();
        });
        bench::report("tavik_await_complete_round_trips_per_s", count / s, "round trips/s");
    }
    {
        constexpr int count = 20'000;
        const double s = bench::median_seconds(runs, [&] { wait_blocking_result(pool_hops(count)); });
        bench::report("tavik_thread_pool_round_trips_per_s", count / s, "round trips/s");
    }
    {
        // A raise 20 frames below the handler, caught as the error family.
        constexpr int count = 5'000;
        const double s = bench::median_seconds(runs, [&] {
            for (int i = 0; i < count; ++i) {
                try {
                    raise_at_depth(20);
                } catch (const traceable_error&) {
                }
            }
        });
        bench::report("tavik_traceable_error_raise_catch_per_s", count / s, "errors/s");
        const double u = bench::median_seconds(runs, [&] {
            for (int i = 0; i < count; ++i) {
                try {
                    raise_untraced_at_depth(20);
                } catch (const hresult_error_impl&) {
                }
            }
        });
        bench::report("tavik_untraced_error_raise_catch_per_s", count / u, "errors/s");
    }
    {
        std::size_t frames = 0, bytes = 0;
        try {
            raise_at_depth(20);
        } catch (const traceable_error& e) {
            frames = e.frames().size();
            bytes = sizeof(e) + e.trace_bytes();
        }
        bench::report("tavik_traceable_error_frames", double(frames), "frames");
        bench::report("tavik_traceable_error_bytes_kept", double(bytes), "bytes");
    }
    return 0;
}
