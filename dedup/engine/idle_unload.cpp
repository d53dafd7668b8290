#include <dedup/engine/idle_unload.h>

#include <dedup/engine/root_folder.h>

#include <tavik/cancellation.h>
#include <tavik/lock_guard.h>

#include <chrono>
#include <exception>

namespace dedup::impl {

using tavik::details::exclusive_lock_guard;
using tavik::details::shared_lock_guard;

namespace {

class system_clock final : public idle_clock {
public:
    std::uint64_t now() noexcept override
    {
        FILETIME now;
        GetSystemTimePreciseAsFileTime(&now);
        return (std::uint64_t(now.dwHighDateTime) << 32) | now.dwLowDateTime;
    }
    tavik::details::timer_duration check_period() const noexcept override { return std::chrono::minutes(10); }
    std::uint64_t idle_threshold() const noexcept override { return 5'400'000'000; }  // 9 minutes
};

// A last use later than now (a use noted between the clock's reading and the comparison, or a
// clock set back) is no idleness at all, not a wrapped-around eternity.
std::uint64_t idle_ticks(std::uint64_t now, std::uint64_t last_use) noexcept
{
    return now > last_use ? now - last_use : 0;
}

// Clears the running mark on every way out of the idle task.
class running_mark {
public:
    explicit running_mark(idle_unload_state& state) noexcept : state_(state) {}
    running_mark(const running_mark&) = delete;
    running_mark& operator=(const running_mark&) = delete;
    ~running_mark()
    {
        exclusive_lock_guard guard(state_.lock);
        state_.running = false;
    }

private:
    idle_unload_state& state_;
};

} // namespace

idle_clock& system_idle_clock() noexcept
{
    static system_clock clock;
    return clock;
}

tavik::details::future<std::error_code> ensure_loaded(root_folder& root)
{
    for (;;) {
        if (!root.unloaded_.load(std::memory_order_acquire)) {
            root.last_use_ = root.clock().now();
            co_return std::error_code{};
        }
        AcquireSRWLockExclusive(&root.tree_lock_);
        if (!root.unloaded_.load(std::memory_order_acquire)) {
            ReleaseSRWLockExclusive(&root.tree_lock_);
            continue;
        }
        std::error_code result;
        std::exception_ptr failure;
        try {
            result = co_await root.load_file_info();
        } catch (...) {
            failure = std::current_exception();
        }
        // An SRW lock may be released by another thread than the one that took it; the load may
        // have continued on a pool thread.
        ReleaseSRWLockExclusive(&root.tree_lock_);
        if (failure)
            std::rethrow_exception(failure);
        co_return result;
    }
}

tavik::details::future<std::expected<store_hold, std::error_code>> hold_loaded_store(root_folder& root)
{
    for (;;) {
        if (std::error_code result = co_await ensure_loaded(root))
            co_return std::unexpected(result);
        // ensure_loaded's look was made without the lock: an unload that had already decided may
        // have dropped the store since. Under the lock the answer holds until the hold is taken.
        shared_lock_guard tree(root.tree_lock_);
        if (!root.unloaded_.load(std::memory_order_acquire)) {
            root.idle_state_.holds.fetch_add(1, std::memory_order_relaxed);
            co_return store_hold(root.idle_state_);
        }
    }
}

tavik::details::future<void> idle_task(root_folder& root)
{
    idle_unload_state& state = root.idle_state_;
    tavik::details::cancellation_source source{std::shared_ptr<tavik::details::cancellation_source_body>{}};
    {
        exclusive_lock_guard guard(state.lock);
        if (state.running)
            co_return;  // one idle task per folder
        state.running = true;
        state.suspended = false;
        source = root.idle_source_;
    }
    running_mark mark(state);

    idle_clock& clock = root.clock();
    const std::uint64_t threshold = clock.idle_threshold();
    tavik::details::cancellation_token token(source);
    tavik::details::auto_cancel_timer timer(token);
    for (;;) {
        co_await timer.wait(clock.check_period());
        if (idle_ticks(clock.now(), root.last_use_.load()) <= threshold)
            continue;
        exclusive_lock_guard tree(root.tree_lock_);
        // Looked at again under the lock: a use may have come in between. A query that holds the
        // store keeps it this round; the next look sees it again.
        if (idle_ticks(clock.now(), root.last_use_.load()) <= threshold ||
            state.holds.load(std::memory_order_acquire) != 0)
            continue;
        root.store_.reset();
        root.tree_ = std::make_shared<folder_t>();
        root.unloaded_.store(true, std::memory_order_release);
        co_return;
    }
}

tavik::details::future<bool> suspend_idle_task(root_folder& root)
{
    idle_unload_state& state = root.idle_state_;
    tavik::details::future<void> task;
    tavik::details::cancellation_source old{std::shared_ptr<tavik::details::cancellation_source_body>{}};
    {
        exclusive_lock_guard guard(state.lock);
        if (!root.idle_task_.valid())
            co_return false;
        // From here a load (of this operation's ensure_loaded or of a query) starts no idle task:
        // the operation restarts it at its end.
        state.suspended = true;
        task = std::move(root.idle_task_);
        old = root.idle_source_;
    }
    old.cancel();
    try {
        co_await std::move(task);
    } catch (...) {
        // Cancelled, ended by its timer's failure or by an unload: the task is over either way.
    }
    auto fresh = tavik::details::make_linked_cancellation_source(root.lifetime_);
    {
        exclusive_lock_guard guard(state.lock);
        root.idle_source_ = std::move(fresh);
    }
    co_return true;
}

void restart_idle_task(root_folder& root)
{
    tavik::details::future<void> task = idle_task(root);
    // A task that ended at once (the folder is going) has nothing to wait for; and should one run
    // already, its future is the one to keep.
    if (task.is_ready())
        return;
    exclusive_lock_guard guard(root.idle_state_.lock);
    root.idle_task_ = std::move(task);
}

bool is_unloaded(const root_folder& root) noexcept
{
    return root.unloaded_.load(std::memory_order_acquire);
}

void root_folder::start_idle_task()
{
    {
        exclusive_lock_guard guard(idle_state_.lock);
        if (idle_state_.suspended || idle_state_.running)
            return;
    }
    // Made outside the lock (the task takes it itself). Another start that slipped in between
    // makes this task end at once; its finished future must then not replace the running one's,
    // which the destructor waits for.
    tavik::details::future<void> task = idle_task(*this);
    if (task.is_ready())
        return;
    exclusive_lock_guard guard(idle_state_.lock);
    idle_task_ = std::move(task);
}

idle_clock& root_folder::clock() const noexcept
{
    return options_.clock ? *options_.clock : system_idle_clock();
}

} // namespace dedup::impl
