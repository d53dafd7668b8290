#include <dedup/server/program_options.h>

#include <any>
#include <cstdint>
#include <limits>

namespace dedup::impl {

using namespace Ostrel::cmd_line;

namespace {

option_record& describe(option_record& r, std::wstring_view description, std::wstring_view section = {},
                        std::wstring_view value_name = {})
{
    r.description = description;
    r.section_header = section;
    r.value_name = value_name;
    return r;
}

} // namespace

void define_options(option_table& table)
{
    describe(add_switch_with_short_name(table, L"?", L"help"), L"Display command-line parameters.");
    describe(add_switch(table, L"nologo"), L"Do not display the logo message.");
    describe(add_switch(table, L"server"), L"Serve the given folders as deduplicated folders until stopped.",
             L"== Create / open deduplicated folder == ");
    set_default(describe(add_value_option(table, L"algorithm-version"),
                         L"Force specific algorithm version. Only 1 is supported for now. 1 is the default.", {},
                         L"N"),
                std::any(int(0)));
    describe(add_switch(table, L"adopt"), L"Adopt an existing normal folder.");
    describe(add_switch(table, L"no-create"), L"Do not attempt to create deduplicated folder if it does not exist.");
    set_default(describe(add_value_option(table, L"optimize-period"),
                         L"Optimize operation period. Default is AUTO, minimum 15 minutes.", {},
                         L"AUTO | OFF | Ns | Nm | Nh | Nd"),
                std::any(std::wstring_view(L"AUTO")));
    set_default(describe(add_value_option(table, L"gc-period"),
                         L"Garbage collection optimize operation period. Default is 1 day,  minimum 15 minutes.", {},
                         L"OFF | Ns | Nm | Nh | Nd"),
                std::any(std::wstring_view(L"1d")));
    describe(add_switch_with_short_name(table, L"e", L"estimate"),
             L"Estimate the resulting deduplicated and compressed size of a folder.", L"== ESTIMATE command ==");
    add_reference(table, L"algorithm-version");
    set_default(describe(add_value_option(table, L"compression-level"),
                         L"Compression level. N should be between 1 and 12, default is 7.", {}, L"N"),
                std::any(int(7)));
    describe(add_switch_with_short_name(table, L"o", L"optimize"), L"Optimize deduplicated folder storage.",
             L"== OPTIMIZE command ==");
    describe(add_switch(table, L"purge-placeholders"), L"Delete file system placeholders.");
    describe(add_switch(table, L"purge-blocks"), L"Delete unused storage blocks.");
    add_reference(table, L"compression-level");
    describe(add_switch_with_short_name(table, L"r", L"recover"), L"Recover deleted items.", L"== RECOVER command ==");
    describe(add_switch_with_short_name(table, L"i", L"info"), L"Dump deduplicated storage statistics.",
             L"== INFO command ==");
    describe(add_switch(table, L"delete"), L"Delete deduplicated folder.", L"== DELETE command ==");
    describe(add_switch(table, L"force"), L"Force command execution.");
    set_default(describe(add_value_option(table, L"log-path"), L"Full path to log file.", L"== Logging ==", L"path"),
                std::any(std::wstring_view(L"")));
    set_default(describe(add_value_option(table, L"log-level"),
                         L"Set default logging level. LOGGING-LEVEL is one of the following:\n"
                         L"  critical - only critical errors\n"
                         L"  error    - all errors\n"
                         L"  warnings - errors and warnings\n"
                         L"  info     - informational messages\n"
                         L"  debug    - maximum information for debugging\n"
                         L"Default value is \"info\"",
                         {}, L"LOGGING-LEVEL"),
                std::any(std::wstring_view(L"info")));
    describe(add_switch(table, L"no-screen-log"), L"Prevent copy of log to be shown on the screen.");
}

int parse_log_level(std::wstring_view text)
{
    if (text == L"critical")
        return 0;
    if (text == L"error")
        return 1;
    // The help lists "warnings"; the singular is accepted as well.
    if (text == L"warning" || text == L"warnings")
        return 2;
    if (text == L"info")
        return 3;
    if (text == L"debug")
        return 4;
    throw Ostrel::cmd_line_syntax_error("Invalid logging level specified.");
}

std::optional<period_t> parse_period(std::wstring_view text, bool allow_auto)
{
    if (allow_auto && (text == L"AUTO" || text == L"auto"))
        return period_t(auto_t{});
    if (text == L"OFF" || text == L"off")
        return period_t(disabled_t{});
    if (text.empty())
        return std::nullopt;
    long long unit;
    switch (text.back()) {
    case L's':
        unit = 10'000'000;
        break;
    case L'm':
        unit = 600'000'000;
        break;
    case L'h':
        unit = 36'000'000'000;
        break;
    case L'd':
        unit = 864'000'000'000;
        break;
    default:
        return std::nullopt;
    }
    // A sign is no digit, so "-5m" would read as 0 and pass as "no period": refused instead.
    if (text.front() == L'-')
        return std::nullopt;
    // Checked at each step: a count that overflowed would wrap negative and slip past the
    // 15-minute minimum.
    constexpr long long limit = std::numeric_limits<long long>::max();
    long long count = 0;
    for (wchar_t c : text) {
        if (c < L'0' || c > L'9')
            break;
        if (count > (limit - (c - L'0')) / 10)
            return std::nullopt;
        count = count * 10 + (c - L'0');
    }
    if (count > limit / unit)
        return std::nullopt;
    return period_t(period_duration(count * unit));
}

} // namespace dedup::impl
