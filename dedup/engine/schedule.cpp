#include <dedup/engine/schedule.h>

#include <dedup/engine/root_folder.h>

#include <ostrel/logger.h>
#include <quillo/render.h>

#include <tavik/cancellation.h>
#include <tavik/error.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <variant>

namespace dedup::impl {

namespace {

class system_clock_t final : public schedule_clock {
public:
    std::uint64_t now() noexcept override
    {
        FILETIME ft;
        GetSystemTimePreciseAsFileTime(&ft);
        return (std::uint64_t(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    }
    tavik::details::timer_duration timer_wait(std::int64_t ticks) noexcept override
    {
        return tavik::details::timer_duration(ticks);
    }
};

// An output set of a rule: its membership over the factor, as corners of a piecewise-linear line
// over the output range 0.5-1.5.
struct corner {
    double factor;
    double height;
};
using output_set = std::array<corner, 4>;

constexpr output_set few_changes_output{{{0.5, 0.0}, {1.2, 0.0}, {1.5, 1.0}, {1.5, 1.0}}};
constexpr output_set some_changes_output{{{0.5, 0.0}, {1.0, 1.0}, {1.2, 1.0}, {1.5, 0.0}}};
constexpr output_set many_changes_output{{{0.5, 1.0}, {1.0, 0.0}, {1.5, 0.0}, {1.5, 0.0}}};

double few_changes_weight(double x) noexcept
{
    return x < 0 ? 1.0 : x <= 1.0 ? 1.0 - x : 0.0;
}

double some_changes_weight(double x) noexcept
{
    if (x < 0 || x > 3.0)
        return 0.0;
    if (x < 1.0)
        return x;
    if (x <= 2.0)
        return 1.0;
    return 3.0 - x;
}

double many_changes_weight(double x) noexcept
{
    return x < 2.0 ? 0.0 : x <= 3.0 ? x - 2.0 : 1.0;
}

struct area_and_moment {
    double area = 0;
    double moment = 0;
};

// Area and first moment of a line from (s, a) to (t, b), in closed form.
void add_segment(area_and_moment& sum, double s, double a, double t, double b) noexcept
{
    const double width = t - s;
    if (width <= 0)
        return;
    sum.area += width * (a + b) / 2;
    sum.moment += width * (s * (2 * a + b) + t * (a + 2 * b)) / 6;
}

// The set cut off at height `w`: each sloped piece splits where it crosses the cut.
void add_cut_set(area_and_moment& sum, const output_set& set, double w) noexcept
{
    if (w <= 0)
        return;
    for (std::size_t i = 0; i + 1 < set.size(); ++i) {
        const corner p = set[i];
        const corner q = set[i + 1];
        if (q.factor <= p.factor)
            continue;
        const double hp = std::min(p.height, w);
        const double hq = std::min(q.height, w);
        const bool crosses = (p.height - w) * (q.height - w) < 0;
        if (!crosses) {
            add_segment(sum, p.factor, hp, q.factor, hq);
            continue;
        }
        const double at = p.factor + (w - p.height) * (q.factor - p.factor) / (q.height - p.height);
        add_segment(sum, p.factor, hp, at, w);
        add_segment(sum, at, w, q.factor, hq);
    }
}

} // namespace

schedule_clock& system_schedule_clock() noexcept
{
    static system_clock_t clock;
    return clock;
}

std::int64_t first_schedule_interval(const period_t& optimize_period, const period_t& gc_period)
{
    if (std::holds_alternative<auto_t>(optimize_period))
        return schedule_first_auto_interval;
    if (const auto* fixed = std::get_if<period_duration>(&optimize_period))
        return fixed->count();
    return std::get<period_duration>(gc_period).count();
}

double schedule_interval_factor(std::uint32_t changes) noexcept
{
    const double x = std::log10(double(changes) + 1.0);
    area_and_moment sum;
    add_cut_set(sum, few_changes_output, few_changes_weight(x));
    add_cut_set(sum, some_changes_output, some_changes_weight(x));
    add_cut_set(sum, many_changes_output, many_changes_weight(x));
    return sum.area > 0 ? sum.moment / sum.area : 1.0;
}

std::int64_t next_schedule_interval(std::int64_t current, std::uint32_t changes) noexcept
{
    const double next = double(current) * schedule_interval_factor(changes);
    // Compared as doubles first: a product beyond the 64-bit range must not wrap in the conversion.
    if (!(next < double(schedule_max_interval)))
        return schedule_max_interval;
    const auto truncated = static_cast<std::int64_t>(next);
    return std::clamp(truncated, schedule_min_interval, schedule_max_interval);
}

purge_flags scheduled_purge_options(const period_t& gc_period, std::uint64_t now, std::uint64_t& last_purge) noexcept
{
    const auto* period = std::get_if<period_duration>(&gc_period);
    if (!period)
        return purge_options::purge_cache;
    // A clock set back makes no time pass rather than a huge one.
    const std::uint64_t passed = now > last_purge ? now - last_purge : 0;
    if (period->count() >= 0 && passed <= static_cast<std::uint64_t>(period->count()))
        return purge_options::purge_cache;
    last_purge = now;
    return purge_flags(purge_options::purge_cache) | purge_options::purge_blocks;
}

tavik::details::future<void> root_folder::resync(period_t optimize_period, period_t gc_period)
{
    tavik::details::cancellation_token token(lifetime_, co_await tavik::details::this_promise);
    tavik::details::auto_cancel_timer timer(token);
    schedule_clock& clock = options_.schedule_time ? *options_.schedule_time : system_schedule_clock();

    std::int64_t interval = first_schedule_interval(optimize_period, gc_period);
    std::uint64_t last_purge = clock.now();
    const bool automatic = std::holds_alternative<auto_t>(optimize_period);

    for (;;) {
        if (interval >= 1)
            co_await timer.wait(clock.timer_wait(interval));
        if (co_await ensure_loaded(*this))
            continue;  // a store that cannot be loaded skips this run; the interval stays
        if (ILogger* logger = global_logger) {
            try {
                logger->log(quillo::log_formatted_text(L"Running scheduled task for {}\r\n", folder_path_), 4);
            } catch (const std::bad_alloc&) {
            }
        }
        std::expected<resync_stats, long> result;
        for (;;) {
            const purge_flags purge = scheduled_purge_options(gc_period, clock.now(), last_purge);
            result = co_await optimize(lifetime_, schedule_compression_level, purge,
                                       [](const std::wstring&, std::uint64_t, std::uint64_t) {});
            if (result || static_cast<std::uint32_t>(result.error()) != 0x80070420u)
                break;
            // Another operation holds the folder: try again shortly.
            co_await timer.wait(clock.timer_wait(schedule_busy_retry));
        }
        if (automatic) {
            // An error result counts as a run without changes; the count adds as 32 bits.
            const std::uint32_t changes = result ? result->files_added + result->placeholders_updated : 0;
            interval = next_schedule_interval(interval, changes);
        }
    }
}

} // namespace dedup::impl
