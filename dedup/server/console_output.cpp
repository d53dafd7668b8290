#include <dedup/server/console_output.h>

#include <ostrel/logger.h>
#include <quillo/render.h>
#include <tavik/error.h>

namespace dedup::impl {

namespace {

constexpr int level_error = 1;
constexpr int level_info = 3;

void log_line(std::wstring&& text, int level)
{
    if (global_logger)
        global_logger->log(std::move(text), level);
}

} // namespace

void print_progress(progress_state& state, std::uint64_t, const std::wstring& stage, std::uint64_t done,
                    std::uint64_t total)
{
    if (!stage.empty() && stage != state.last_stage) {
        state.last_stage = stage;
        log_line(quillo::format(L"  Progress stage: {0}\r\n", stage), level_info);
    }
    // The engine reports (0, 0) before it knows how much there is to do: a division by that
    // total would end the process.
    const std::uint64_t percent = total == 0 ? 0 : done * 100 / total;
    log_line(quillo::format(L"  Progress {0} %  ...\r", percent), level_info);
}

std::wstring format_size(std::uint64_t n)
{
    if (n < 1024)
        return quillo::format(L"{0lp2}", n);
    static constexpr const wchar_t* units[] = {L"KB", L"MB", L"GB", L"TB"};
    int unit = 0;
    double value = double(n) / 1024.0;
    for (std::uint64_t limit = std::uint64_t(1) << 20; unit < 3 && n >= limit; limit <<= 10) {
        ++unit;
        value /= 1024.0;
    }
    return quillo::format(L"{0lp2}\u00A0{1}", value, units[unit]);
}

void report_processing_error(long hr)
{
    log_error_with_code(L"The following error occurred during processing: {0} ({1ub016x}).\r\n",
                        tavik::details::hresult_error_impl::message(hr), hr);
}

void log_error_with_code(std::wstring_view format, std::wstring_view text, long hr)
{
    log_line(quillo::format(format, text, hr), level_error);
}

void log_with_folder(std::wstring_view format, std::wstring_view folder)
{
    log_line(quillo::format(format, folder), level_info);
}

void log_with_number(std::wstring_view format, std::uint64_t number)
{
    log_line(quillo::format(format, number), level_info);
}

void print_summary(const std::expected<resync_stats, long>& result, std::wstring_view title, std::wstring_view folder,
                   double seconds)
{
    if (!result) {
        report_processing_error(result.error());
        return;
    }
    const resync_stats& s = *result;
    const double total = double(s.uncompressed_size);
    const double unique = double(s.unique_size);
    const double compressed = double(s.compressed_size);
    const double dedup_ratio = s.unique_size == 0 ? 1.0 : total / unique;
    const double final_ratio = s.compressed_size == 0 ? 1.0 : total / compressed;
    const double dedup_saving = s.uncompressed_size == 0 ? 0.0 : 100.0 - unique * 100.0 / total;
    const double final_saving = s.uncompressed_size == 0 ? 0.0 : 100.0 - compressed * 100.0 / total;
    const std::wstring total_text = format_size(s.uncompressed_size);
    const std::wstring unique_text = format_size(s.unique_size);
    const std::wstring compressed_text = format_size(s.compressed_size);
    log_line(quillo::format(
                 L"{16} on {15} completed in {4lp3} seconds:\n\n"
                 L"  Total files added: {0l}\n"
                 L"  Total files deleted: {2l}\n"
                 L"  Total folders added: {1l}\n"
                 L"  Total folders deleted: {3l}\n"
                 L"  Items skipped: {17l}\n\n"
                 L"Current deduplicated folder statistics:\n\n"
                 L"  Total uncompressed data: {5} ({6l} bytes)\n"
                 L"  Total unique data: {7} ({8l} bytes)\n"
                 L"    Deduplication ratio: 1:{11p2} ({12p2} % saved)\n"
                 L"  Total compressed data (approx): {9} ({10l} bytes)\n"
                 L"    Final compression ratio: 1:{13p2} ({14p2} % saved)\n",
                 s.files_added, s.folders_added, s.files_deleted, s.folders_deleted, seconds, total_text,
                 s.uncompressed_size, unique_text, s.unique_size, compressed_text, s.compressed_size, dedup_ratio,
                 dedup_saving, final_ratio, final_saving, folder, title, s.items_skipped),
             level_info);
}

} // namespace dedup::impl
