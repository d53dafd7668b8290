#pragma once
// What the one-shot commands print. Every line is a message of the process's logger: on the
// console unless the screen copy is off, in the log file when one is given, at level info (3) or,
// for failures, error (1).

#include <dedup/engine/operation_results.h>

#include <cstdint>
#include <expected>
#include <string>
#include <string_view>

namespace dedup::impl {

// What one progress handler keeps between calls; calls of one handler never overlap.
struct progress_state {
    std::wstring_view folder; // as typed; not printed
    std::wstring last_stage;  // the last stage line shown
};

// A stage line when the stage is new and not empty, then a percentage line ending in "\r" only,
// so that each percentage overwrites the one before on the console. done x 100 / total in
// unsigned 64-bit arithmetic, truncated; 0 while there is no total (total 0).
void print_progress(progress_state& state, std::uint64_t cookie, const std::wstring& stage, std::uint64_t done,
                    std::uint64_t total);

// The summary of an optimize or an estimate, or only the processing-error line for a failure.
void print_summary(const std::expected<resync_stats, long>& result, std::wstring_view title, std::wstring_view folder,
                   double seconds);

// Below 1,024 the count with grouped digits; above, the value in KB, MB, GB or TB with two
// decimals, a no-break space and the unit.
std::wstring format_size(std::uint64_t n);

// "The following error occurred during processing: <text> (<hresult>).", at level error.
void report_processing_error(long hr);

// Renders `format` with the text as field 0 and the HRESULT as field 1 and logs it at level error.
void log_error_with_code(std::wstring_view format, std::wstring_view text, long hr);

void log_with_folder(std::wstring_view format, std::wstring_view folder);
void log_with_number(std::wstring_view format, std::uint64_t number);

} // namespace dedup::impl
