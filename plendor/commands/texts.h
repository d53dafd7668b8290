#pragma once
// The texts the configuration utility's commands build: result and error texts, the time left of
// the progress dialog, the online help address and the update question.

#include <dedup/engine/operation_results.h>

#include <windows.h>

#include <cstdint>
#include <string>
#include <string_view>

// The maker's web site: the about box's link, the online help and the update check.
inline constexpr std::wstring_view site_address = L"https://www.quvan-software.com/";

// Caption of every message box of the utility.
inline constexpr std::wstring_view message_box_caption = L"Quvan Software Tovalind Beta";

// ASCII letters, digits and "-._~" stay; every other UTF-16 unit becomes "%XX". Above U+007F the
// code point's UTF-8 bytes are encoded, each as "%XX"; a lone surrogate counts as U+FFFD.
std::wstring percent_encode(std::wstring_view text);

// "About 1 minutes 30 seconds left" and the like: days, hours and minutes from a minute up, seconds
// below an hour; no plural forms.
std::wstring format_time_left(double seconds);

// The optimize result dialog's text: counters, time, and the folder's statistics with their ratios.
std::wstring format_optimize_result(const dedup::resync_stats& stats, double seconds);

// "{files} files and {folders} folders recovered."
std::wstring format_recover_result(const dedup::recover_stats& stats);

// `format` with the system's text for `hr` as {0} and the HRESULT as {1}, e.g.
// "Unable to convert folder: {0} ({1ub016x}).".
std::wstring format_error_text(std::wstring_view format, long hr);

// The program's own version: four parts and their one-number form
// ((major x 10000 + minor x 100 + build) x 10000 + revision).
struct version_t {
    std::uint32_t major = 0;
    std::uint32_t minor = 0;
    std::uint32_t build = 0;
    std::uint32_t revision = 0;
    friend auto operator<=>(const version_t&, const version_t&) = default;
};
std::uint64_t encode_version(const version_t& v) noexcept;
version_t decode_version(std::uint64_t n) noexcept;
// The product version of a module's version resource; all 0 when it cannot be read.
version_t read_own_version(HMODULE module = nullptr) noexcept;

// "Version 1.03.00.0177".
std::wstring format_version_line(const version_t& v);
// "Tovalind 1.03.01.0005 is available. Do you want to upgrade now?"
std::wstring update_question_text(const version_t& v);
// "\"<path>\" --wait-process <handle>"
std::wstring make_installer_command_line(std::wstring_view path, std::uint64_t process_handle);
