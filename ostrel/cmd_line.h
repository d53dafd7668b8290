#pragma once
// Command-line options: a table of declared options, parsing of the process command line against
// it, typed values, and the help text laid out at a given width.
//
// Options are written "--long-name" or "-s" (short name); switches take a trailing '+' (on) or '-'
// (off); a value option takes the next argument, whatever it starts with. Every argument that does
// not start with '-' is a free argument. Values are views into the table's copy of the split
// command line: they stay valid until the next parse or the table's destruction.

#include <boost/intrusive/list.hpp>
#include <boost/intrusive/set.hpp>

#include <any>
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace Ostrel {

// The library's error; the message is one of the fixed texts below (narrow text).
class cmd_line_syntax_error : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

namespace cmd_line {

inline constexpr const char* invalid_argument_message = "Invalid command line argument specified";
inline constexpr const char* missing_value_message = "Command line argument's value is missing";
inline constexpr const char* missing_required_message = "Missing required parameters";
inline constexpr const char* integer_conversion_message = "Error converting to integer";

enum option_kind : std::int32_t {
    switch_option = 0,
    value_option = 1,
    help_reference = 2,
};

// Index 0: a switch's state (and every record's state after a reset); 1: one value; 2: the values
// of a multiple option.
using option_values = std::variant<bool, std::wstring_view, std::vector<std::wstring_view>>;

namespace details {
namespace bi = boost::intrusive;
using order_hook = bi::list_member_hook<bi::link_mode<bi::normal_link>>;
using index_hook = bi::set_member_hook<bi::link_mode<bi::normal_link>>;
} // namespace details

struct option_record {
    std::wstring short_name; // "" when the option has none
    std::wstring long_name;  // unique key of the table
    std::int32_t kind = switch_option;
    std::any default_value;  // an int or a std::wstring_view; empty for switches
    option_values values = false;
    option_values initial_values = false;
    bool required = false;
    bool multiple = false;
    bool present = false;
    // Shown in the help after the name ("N", "path"); in a help reference: the referenced long name.
    std::wstring value_name;
    std::wstring description; // may contain '\n'
    std::wstring section_header;
    std::uint64_t hidden = 0; // non-zero: left out of the help

    details::order_hook order_hook;
    details::index_hook short_name_hook;
    details::index_hook long_name_hook;
};

class option_table;

option_record& add_switch(option_table& table, std::wstring_view long_name);
option_record& add_switch_with_short_name(option_table& table, std::wstring_view short_name,
                                          std::wstring_view long_name);
option_record& add_value_option(option_table& table, std::wstring_view long_name);
// A value option that can also be written with one hyphen and `short_name`. Passing the same name
// twice gives an option accepted with one or two hyphens.
option_record& add_value_option_with_short_name(option_table& table, std::wstring_view short_name,
                                                std::wstring_view long_name);
// A help entry that shows the option named `long_name` again (under another section). The record's
// own long name is "###ref<N>" from a process-wide counter.
option_record& add_reference(option_table& table, std::wstring_view long_name);

// Swaps `value` in as the record's default; returns the record.
option_record& set_default(option_record& record, std::any value);

// The record with this long name, or the table's header record (never present, never set) when
// there is none.
option_record& find_option(option_table& table, std::wstring_view long_name);
const option_record& find_option(const option_table& table, std::wstring_view long_name);

// Parses the whole command-line text (as GetCommandLineW gives it; its first argument is the
// program and is skipped). Throws cmd_line_syntax_error; with `ignore_syntax_errors` a failing
// option argument is skipped instead. Unless `skip_required_check`, a required option that is
// absent raises "Missing required parameters".
void parse(option_table& table, std::wstring_view command_line, bool ignore_syntax_errors = false,
           bool skip_required_check = false);

// A switch: its state; any other option: whether it was given.
bool is_set(const option_record& record);

// Absent: the default (std::bad_any_cast unless it holds an int). Present: the (first) value as an
// optional sign and decimal digits; anything else, or a value outside the range of int, raises
// "Error converting to integer".
int option_value_as_int(const option_record& record);

// Absent: the default (std::bad_any_cast unless it holds a std::wstring_view). Present: the value,
// or the first value of a multiple option.
std::wstring_view option_value_as_string_view(const option_record& record);

std::span<const std::wstring_view> free_arguments(const option_table& table);

// The help text, every line ending in '\n', descriptions wrapped to fit `width` characters.
std::wstring format_help(const option_table& table, std::size_t width);

class option_table {
public:
    option_table();
    ~option_table();
    option_table(const option_table&) = delete;
    option_table& operator=(const option_table&) = delete;

    const option_record& header() const noexcept { return header_; }
    std::size_t size() const noexcept { return count_; }
    bool parsed() const noexcept { return parsed_; }

private:
    struct short_name_key {
        using type = std::wstring;
        const type& operator()(const option_record& r) const noexcept { return r.short_name; }
    };
    struct long_name_key {
        using type = std::wstring;
        const type& operator()(const option_record& r) const noexcept { return r.long_name; }
    };
    using order_list = details::bi::list<
        option_record, details::bi::member_hook<option_record, details::order_hook, &option_record::order_hook>,
        details::bi::constant_time_size<false>>;
    using short_name_index = details::bi::multiset<
        option_record,
        details::bi::member_hook<option_record, details::index_hook, &option_record::short_name_hook>,
        details::bi::key_of_value<short_name_key>, details::bi::constant_time_size<false>>;
    using long_name_index = details::bi::set<
        option_record, details::bi::member_hook<option_record, details::index_hook, &option_record::long_name_hook>,
        details::bi::key_of_value<long_name_key>, details::bi::constant_time_size<false>>;

    option_record& add(std::wstring_view short_name, std::wstring_view long_name, std::int32_t kind);
    const option_record* lookup(std::wstring_view name, bool by_long_name) const noexcept;

    friend option_record& add_switch(option_table&, std::wstring_view);
    friend option_record& add_switch_with_short_name(option_table&, std::wstring_view, std::wstring_view);
    friend option_record& add_value_option(option_table&, std::wstring_view);
    friend option_record& add_value_option_with_short_name(option_table&, std::wstring_view, std::wstring_view);
    friend option_record& add_reference(option_table&, std::wstring_view);
    friend option_record& find_option(option_table&, std::wstring_view);
    friend const option_record& find_option(const option_table&, std::wstring_view);
    friend void parse(option_table&, std::wstring_view, bool, bool);
    friend std::span<const std::wstring_view> free_arguments(const option_table&);
    friend std::wstring format_help(const option_table&, std::size_t);

    option_record header_;
    std::size_t count_ = 0;
    std::vector<std::wstring_view> free_arguments_;
    std::vector<std::wstring> arguments_; // the split command line, program first
    bool parsed_ = false;
    order_list order_;
    short_name_index by_short_name_;
    long_name_index by_long_name_;
};

} // namespace cmd_line
} // namespace Ostrel
