#pragma once
// The background schedule of a served folder (root_folder::resync): it waits an interval, runs an
// optimize at compression level 7 that hands hydrated files back and, once per garbage-collection
// period, deletes unreferenced block files too. With the automatic optimize period the next
// interval follows how much the last run changed, through three fuzzy rules: few changes stretch
// the interval (up to 1.5 times), many shrink it (down to 0.5 times), between 15 minutes and 24
// hours.
//
// Times and intervals are FILETIME ticks (100 ns). The clock and the conversion of an interval to
// the timer's wait come from schedule_clock, so that tests can run "hours" in milliseconds.

#include <dedup/engine/iroot.h>
#include <dedup/engine/operation_results.h>

#include <tavik/timer.h>

#include <cstdint>

namespace dedup::impl {

inline constexpr std::int64_t schedule_min_interval = 9'000'000'000;         // 15 minutes
inline constexpr std::int64_t schedule_max_interval = 864'000'000'000;       // 24 hours
inline constexpr std::int64_t schedule_first_auto_interval = 36'000'000'000;  // 1 hour
inline constexpr std::int64_t schedule_busy_retry = 100'000'000;              // 10 seconds
inline constexpr std::int32_t schedule_compression_level = 7;

class schedule_clock {
public:
    virtual ~schedule_clock() = default;
    // Now, as a FILETIME in 100-ns ticks.
    virtual std::uint64_t now() noexcept = 0;
    // What the timer waits for an interval of `ticks` (at least 1). The system clock waits the
    // interval itself.
    virtual tavik::details::timer_duration timer_wait(std::int64_t ticks) noexcept = 0;
};

schedule_clock& system_schedule_clock() noexcept;

// The first interval: the automatic period's hour, a fixed optimize period, or, with optimizations
// off, the garbage-collection period. Raises std::bad_variant_access when neither is a duration.
std::int64_t first_schedule_interval(const period_t& optimize_period, const period_t& gc_period);

// The factor the rules give for a run that took in `changes` files and placeholders: 1.4 for none,
// about 1.038889 for 9 to 99, 2/3 from 999 on.
double schedule_interval_factor(std::uint32_t changes) noexcept;

// The automatic period's next interval after a run with `changes`, clamped to 15 minutes-24 hours.
std::int64_t next_schedule_interval(std::int64_t current, std::uint32_t changes) noexcept;

// A run's purge options: the cache always; the blocks too when more than the garbage-collection
// period has passed since `last_purge`, which then becomes `now`.
purge_flags scheduled_purge_options(const period_t& gc_period, std::uint64_t now, std::uint64_t& last_purge) noexcept;

} // namespace dedup::impl
