#pragma once
// The idle unload of a folder's store: a folder untouched for more than the idle threshold (9
// minutes) drops its block store and its in-memory tree, and the next access loads them again.
//
// - ensure_loaded: the store-loaded check that every operation and query awaits first.
// - idle_task: looks at the clock every check period (10 minutes) and unloads a folder idle for
//   longer than the threshold. At most one runs per folder; a second one started while one runs
//   ends at once.
// - suspend_idle_task: stops the idle task for an operation. An operation suspends it *before* it
//   awaits ensure_loaded, so that nothing can unload between the check and the operation's use of
//   the store; a load made while the task is suspended does not restart it. An operation for which
//   it returned true restarts the task at its end with restart_idle_task.
// - Queries (which do not suspend) take a store_hold instead: hold_loaded_store checks the store
//   again under the tree lock, loads it again when an unload came in between, and while the hold
//   lives the unload leaves the store and the tree alone (it skips that round).
//
// An untouched folder is unloaded between the threshold and threshold + check period after its
// last use. Times are FILETIME ticks (100 ns); the clock and both periods come from idle_clock, so
// that tests can run "minutes" in milliseconds.

#include <tavik/future.h>
#include <tavik/timer.h>

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <expected>
#include <system_error>
#include <utility>

namespace dedup::impl {

class root_folder;

// Where the idle unload reads the time and its two periods. The system clock is
// GetSystemTimePreciseAsFileTime with a 10-minute check period and a 9-minute threshold.
class idle_clock {
public:
    virtual ~idle_clock() = default;
    // Now, as a FILETIME in 100-ns ticks.
    virtual std::uint64_t now() noexcept = 0;
    // How long the idle task waits between two looks.
    virtual tavik::details::timer_duration check_period() const noexcept = 0;
    // Idle time (ticks) that must be exceeded for an unload.
    virtual std::uint64_t idle_threshold() const noexcept = 0;
};

idle_clock& system_idle_clock() noexcept;

// The root folder's bookkeeping of the idle task beside the members of its model (idle source,
// idle task future, last use, unloaded).
//
// Lock order: the tree lock before `lock`; `lock` is held only for a few instructions and never
// across an await.
struct idle_unload_state {
    SRWLOCK lock = SRWLOCK_INIT;  // guards the two flags, the idle source and the idle-task future
    bool suspended = false;       // an operation has suspended the idle task and will restart it
    bool running = false;         // an idle task is between its start and its end
    // Queries holding the store (store_hold). Taken only under the tree lock held shared, and
    // read by the unload under the tree lock held exclusively.
    std::atomic<std::uint32_t> holds{0};
};

// The store-loaded check. When the folder is loaded, notes the use (last use := now); otherwise
// loads the store under the tree lock held exclusively (only the first of several concurrent
// callers loads; the others find it loaded once they have the lock). The result is the load's
// error code, and an exception of the load is raised again. A failed load leaves the folder
// unloaded.
//
// Contract: any number of callers, any thread; resumes on the thread that finished the load (or at
// once when loaded). It does not stop a later unload: operations suspend the idle task first,
// queries take a store_hold.
tavik::details::future<std::error_code> ensure_loaded(root_folder& root);

// The idle task. Its future ends when the task has unloaded the folder, when the idle source is
// cancelled (operation_cancelled or timer_cancelled), or when the timer cannot be made (the folder
// then stays loaded). The root folder keeps the future as its idle task; only the destructor and
// suspend_idle_task wait for it.
tavik::details::future<void> idle_task(root_folder& root);

// Starts the idle task again after suspend_idle_task returned true and keeps its future as the
// root folder's idle task, releasing the one that was there.
void restart_idle_task(root_folder& root);

// Ends the idle task and gives the folder a fresh idle source (a child of the lifetime source).
// True when there was an idle task (running or ended): the caller restarts it at its end. False
// when there is none (an object not yet created or opened); the caller then restarts nothing.
// Awaited by one operation at a time (operations hold the operation lock).
tavik::details::future<bool> suspend_idle_task(root_folder& root);

// A query's claim on the loaded store and tree: while it lives the idle unload skips its rounds.
// Move-only; releasing it may happen on any thread.
class [[nodiscard]] store_hold {
public:
    store_hold() noexcept = default;
    explicit store_hold(idle_unload_state& state) noexcept : state_(&state) {}
    store_hold(store_hold&& other) noexcept : state_(std::exchange(other.state_, nullptr)) {}
    store_hold& operator=(store_hold&& other) noexcept
    {
        if (this != &other) {
            reset();
            state_ = std::exchange(other.state_, nullptr);
        }
        return *this;
    }
    ~store_hold() { reset(); }
    void reset() noexcept
    {
        if (auto* state = std::exchange(state_, nullptr))
            state->holds.fetch_sub(1, std::memory_order_release);
    }

private:
    idle_unload_state* state_ = nullptr;
};

// ensure_loaded, then the check again under the tree lock held shared: a query that finds the
// folder unloaded there (an unload came between the check and the lock) loads it again and looks
// once more. The hold is taken under the tree lock, so the store it finds stays until the hold
// goes. The error is the load's.
tavik::details::future<std::expected<store_hold, std::error_code>> hold_loaded_store(root_folder& root);

// For tests and diagnostics: whether the idle task has dropped the store and the tree.
bool is_unloaded(const root_folder& root) noexcept;

} // namespace dedup::impl
