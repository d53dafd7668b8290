#pragma once
// The command line of the console program: its option table and the readers of the values that
// the command-line library does not convert itself.

#include <dedup/engine/iroot.h>

#include <ostrel/cmd_line.h>

#include <optional>
#include <string_view>

namespace dedup::impl {

// Declares every option of "dedup.exe [OPTIONS] [folder1] [folder2] ..." in help order, with the
// section headers, value names, defaults and the two help references.
void define_options(Ostrel::cmd_line::option_table& table);

// "critical" 0, "error" 1, "warning" (or "warnings", as the help spells it) 2, "info" 3, "debug"
// 4; anything else raises cmd_line_syntax_error "Invalid logging level specified.".
int parse_log_level(std::wstring_view text);

// "AUTO" or "auto" (when allowed), "OFF" or "off", or decimal digits and a unit s, m, h or d; the
// digits end at the first other character, so "m" is 0 and "15xm" is 15. Nothing when the text
// cannot be read, is negative, or names more 100-ns units than a signed 64-bit count holds.
std::optional<period_t> parse_period(std::wstring_view text, bool allow_auto);

// 15 minutes in 100-ns units: the shortest period other than 0.
inline constexpr long long minimum_period = 9'000'000'000;

} // namespace dedup::impl
