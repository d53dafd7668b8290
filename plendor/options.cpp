#include <plendor/options.h>

namespace {

struct verb_option {
    verb kind;
    const wchar_t* name;
};

// In the order of precedence.
constexpr verb_option verb_options[] = {
    {verb::convert, L"convert"},     {verb::optimize, L"optimize"},   {verb::recover, L"recover"},
    {verb::delete_folder, L"delete"}, {verb::create_in, L"create-in"},
};

} // namespace

void define_options(Ostrel::cmd_line::option_table& table)
{
    for (const verb_option& v : verb_options)
        Ostrel::cmd_line::add_value_option(table, v.name).hidden = 1;
}

void parse_own_command_line(Ostrel::cmd_line::option_table& table, std::wstring_view command_line) noexcept
{
    try {
        Ostrel::cmd_line::parse(table, command_line, true, false);
    } catch (...) {
        // What was parsed before the failure stands; the program starts as if the rest were absent.
    }
}

void parse_forwarded_command_line(Ostrel::cmd_line::option_table& table, std::wstring_view command_line)
{
    Ostrel::cmd_line::parse(table, command_line, false, false);
}

std::optional<verb_request> first_verb(const Ostrel::cmd_line::option_table& table)
{
    for (const verb_option& v : verb_options) {
        const Ostrel::cmd_line::option_record& record = Ostrel::cmd_line::find_option(table, v.name);
        if (record.present)
            return verb_request{v.kind, std::wstring(Ostrel::cmd_line::option_value_as_string_view(record))};
    }
    return std::nullopt;
}
