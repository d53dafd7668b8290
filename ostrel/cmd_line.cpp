#include <ostrel/cmd_line.h>

#include <quillo/render.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <memory>

namespace Ostrel::cmd_line {
namespace {

// Both indexes order names by UTF-16 code units, a shorter prefix first.
struct name_less {
    bool operator()(std::wstring_view a, std::wstring_view b) const noexcept { return a < b; }
};

[[noreturn]] void fail(const char* message)
{
    throw cmd_line_syntax_error(message);
}

// Splits command-line text the way this library defines it: blanks (U+0020 only) separate
// arguments; an argument that starts with '"' runs to the next '"' (both dropped) and ends there
// even when more characters follow; any other argument runs to the next blank, quotes included.
// There are no escapes.
void split_command_line(std::wstring_view text, std::vector<std::wstring>& out)
{
    std::size_t i = 0;
    const std::size_t n = text.size();
    for (;;) {
        while (i < n && text[i] == L' ')
            ++i;
        if (i >= n)
            break;
        if (text[i] == L'"') {
            const std::size_t close = text.find(L'"', i + 1);
            if (close == std::wstring_view::npos) {
                out.emplace_back(text.substr(i + 1));
                i = n;
            } else {
                out.emplace_back(text.substr(i + 1, close - i - 1));
                i = close + 1;
            }
        } else {
            std::size_t end = text.find(L' ', i);
            if (end == std::wstring_view::npos)
                end = n;
            out.emplace_back(text.substr(i, end - i));
            i = end;
        }
    }
}

std::wstring_view first_value(const option_record& record)
{
    if (const auto* list = std::get_if<std::vector<std::wstring_view>>(&record.values))
        return list->empty() ? std::wstring_view() : list->front();
    return std::get<std::wstring_view>(record.values);
}

// Columns the name of an entry takes in the help: "-S, --L", "--L" or "-S", and " VALUE" for an
// option with a value name. A help reference itself takes none.
std::size_t name_width(const option_record& record) noexcept
{
    if (record.kind == help_reference)
        return 0;
    const std::size_t l = record.long_name.size();
    const std::size_t s = record.short_name.size();
    std::size_t width = (l != 0 && s != 0) ? l + s + 5 : l != 0 ? l + 2 : s != 0 ? s + 1 : 0;
    if (record.kind == value_option && !record.value_name.empty())
        width += record.value_name.size() + 1;
    return width;
}

// Appends `description` wrapped to lines shorter than `line_width` (unless a single word is longer),
// continuation lines indented by `indent` blanks. The break is the last blank of the line, which is
// dropped, as is an explicit '\n' that ends a line.
void append_wrapped(std::wstring& out, const std::wstring& description, std::size_t line_width, std::size_t indent)
{
    std::size_t line_start = 0;
    std::size_t last_break = std::wstring::npos;
    auto close_line = [&](std::size_t at) {
        out.append(description, line_start, at - line_start);
        out.push_back(L'\n');
        out.append(indent, L' ');
        line_start = at + 1;
        last_break = std::wstring::npos;
    };
    const std::size_t n = description.size();
    for (std::size_t i = 0; i <= n; ++i) {
        const bool at_end = i == n;
        const wchar_t c = at_end ? L'\0' : description[i];
        const bool separator = at_end || c == L' ' || c == L'\n';
        if (separator && i > line_start && description[i - 1] != L' ' && description[i - 1] != L'\n') {
            if (i - line_start >= line_width && last_break != std::wstring::npos && last_break > line_start)
                close_line(last_break);
        }
        if (at_end)
            break;
        if (c == L' ')
            last_break = i;
        else if (c == L'\n')
            close_line(i);
    }
    out.append(description, line_start);
    out.push_back(L'\n');
}

} // namespace

option_table::option_table() = default;

option_table::~option_table()
{
    by_short_name_.clear();
    by_long_name_.clear();
    order_.clear_and_dispose([](option_record* record) { delete record; });
}

option_record& option_table::add(std::wstring_view short_name, std::wstring_view long_name, std::int32_t kind)
{
    if (const option_record* existing = lookup(long_name, true))
        return const_cast<option_record&>(*existing);
    auto record = std::make_unique<option_record>();
    record->short_name = short_name;
    record->long_name = long_name;
    record->kind = kind;
    order_.push_back(*record);
    by_short_name_.insert(*record);
    by_long_name_.insert(*record);
    ++count_;
    return *record.release();
}

const option_record* option_table::lookup(std::wstring_view name, bool by_long_name) const noexcept
{
    if (by_long_name) {
        auto it = by_long_name_.find(name, name_less{});
        return it == by_long_name_.end() ? nullptr : &*it;
    }
    // Options sharing a short name: the first one declared wins.
    auto it = by_short_name_.lower_bound(name, name_less{});
    return it == by_short_name_.end() || it->short_name != name ? nullptr : &*it;
}

option_record& add_switch(option_table& table, std::wstring_view long_name)
{
    return table.add({}, long_name, switch_option);
}

option_record& add_switch_with_short_name(option_table& table, std::wstring_view short_name,
                                          std::wstring_view long_name)
{
    return table.add(short_name, long_name, switch_option);
}

option_record& add_value_option(option_table& table, std::wstring_view long_name)
{
    return table.add({}, long_name, value_option);
}

option_record& add_value_option_with_short_name(option_table& table, std::wstring_view short_name,
                                                std::wstring_view long_name)
{
    return table.add(short_name, long_name, value_option);
}

option_record& add_reference(option_table& table, std::wstring_view long_name)
{
    static std::atomic<std::int32_t> counter{0};
    const std::int32_t number = ++counter;
    const std::wstring name = quillo::format(L"###ref{0}", number);
    option_record& record = table.add({}, name, help_reference);
    record.value_name = long_name;
    return record;
}

option_record& set_default(option_record& record, std::any value)
{
    record.default_value.swap(value);
    return record;
}

option_record& find_option(option_table& table, std::wstring_view long_name)
{
    const option_record* record = table.lookup(long_name, true);
    return const_cast<option_record&>(record ? *record : table.header_);
}

const option_record& find_option(const option_table& table, std::wstring_view long_name)
{
    const option_record* record = table.lookup(long_name, true);
    return record ? *record : table.header_;
}

void parse(option_table& table, std::wstring_view command_line, bool ignore_syntax_errors, bool skip_required_check)
{
    table.free_arguments_.clear();
    for (option_record& record : table.order_) {
        record.present = false;
        record.values = record.initial_values;
    }
    table.parsed_ = false;
    table.arguments_.clear();
    // Every view handed out below points into these strings, so they are complete before the
    // first view is taken and untouched until the next parse.
    split_command_line(command_line, table.arguments_);

    const std::vector<std::wstring>& args = table.arguments_;
    for (std::size_t i = 1; i < args.size(); ++i) {
        const std::wstring& arg = args[i];
        if (arg.empty() || arg[0] != L'-') {
            table.free_arguments_.push_back(arg);
            continue;
        }
        try {
            std::wstring_view name(arg);
            name.remove_prefix(1);
            const bool by_long_name = !name.empty() && name[0] == L'-';
            if (by_long_name)
                name.remove_prefix(1);
            bool on = true;
            if (!name.empty() && (name.back() == L'+' || name.back() == L'-')) {
                on = name.back() == L'+';
                name.remove_suffix(1);
            }
            // A bare "-" would otherwise match the empty short name that every option without one
            // shares; help references are entries of the help, not options.
            const option_record* found = name.empty() ? nullptr : table.lookup(name, by_long_name);
            if (!found || found->kind == help_reference)
                fail(invalid_argument_message);
            option_record& record = const_cast<option_record&>(*found);

            if (record.kind == value_option) {
                // Marked present only with its value, so that a skipped failure leaves no option
                // that is present but has nothing to read.
                if (i + 1 >= args.size())
                    fail(missing_value_message);
                const std::wstring_view value = args[++i];
                if (record.multiple) {
                    if (!std::holds_alternative<std::vector<std::wstring_view>>(record.values))
                        record.values.emplace<std::vector<std::wstring_view>>();
                    std::get<std::vector<std::wstring_view>>(record.values).push_back(value);
                } else {
                    record.values = value;
                }
            } else {
                record.values = on;
            }
            record.present = true;
        } catch (const cmd_line_syntax_error&) {
            if (!ignore_syntax_errors)
                throw;
        }
    }

    if (!skip_required_check) {
        for (const option_record& record : table.by_long_name_)
            if (record.required && !record.present)
                fail(missing_required_message);
    }
    table.parsed_ = true;
}

bool is_set(const option_record& record)
{
    if (record.kind == switch_option) {
        const bool* state = std::get_if<bool>(&record.values);
        return state && *state;
    }
    return record.present;
}

int option_value_as_int(const option_record& record)
{
    if (!record.present)
        return std::any_cast<int>(record.default_value);
    const std::wstring_view text = first_value(record);
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == L'+' || text[0] == L'-')) {
        negative = text[0] == L'-';
        ++i;
    }
    // Accumulated wide enough to see an overflow: a value outside int is refused, not wrapped.
    constexpr std::int64_t limit = static_cast<std::int64_t>(INT_MAX) + 1;
    std::int64_t magnitude = 0;
    for (; i < text.size(); ++i) {
        const wchar_t c = text[i];
        if (c < L'0' || c > L'9')
            fail(integer_conversion_message);
        magnitude = magnitude * 10 + (c - L'0');
        if (magnitude > limit)
            fail(integer_conversion_message);
    }
    if (!negative && magnitude == limit)
        fail(integer_conversion_message);
    return static_cast<int>(negative ? -magnitude : magnitude);
}

std::wstring_view option_value_as_string_view(const option_record& record)
{
    if (!record.present)
        return std::any_cast<std::wstring_view>(record.default_value);
    return first_value(record);
}

std::span<const std::wstring_view> free_arguments(const option_table& table)
{
    return table.free_arguments_;
}

std::wstring format_help(const option_table& table, std::size_t width)
{
    std::size_t longest = 0;
    for (const option_record& record : table.order_)
        longest = std::max(longest, name_width(record));
    const std::size_t column = longest + 4;
    const std::size_t line_width = width < longest + 24 ? 20 : width - longest - 8;

    const quillo::parsed_format name_format(L"{0?<}-{1}{2?<}, {2?>}{0?>}{2?<}--{3}{2?>}");
    const quillo::parsed_format name_value_format(L"{0}{1?<} {2}{1?>}");
    const quillo::parsed_format head_format(L"{0?<}\n{1}\n{0?>}    {2}");

    std::wstring out;
    std::wstring name;
    std::wstring name_value;
    for (const option_record& entry : table.order_) {
        if (entry.hidden != 0)
            continue;
        const option_record* shown = &entry;
        bool show_header = true;
        if (entry.kind == help_reference) {
            shown = table.lookup(entry.value_name, true);
            if (!shown)
                fail(invalid_argument_message);
            show_header = false;
        }

        name.clear();
        quillo::render(name_format, name, !shown->short_name.empty(), shown->short_name, !shown->long_name.empty(),
                       shown->long_name);
        name_value.clear();
        const bool has_value_name = shown->kind == value_option && !shown->value_name.empty();
        quillo::render(name_value_format, name_value, name, has_value_name, shown->value_name);
        const bool has_header = show_header && !shown->section_header.empty();
        quillo::render(head_format, out, has_header, shown->section_header, name_value);

        const std::size_t used = name_width(*shown);
        if (used < column)
            out.append(column - used, L' ');
        if (shown->description.empty())
            out.push_back(L'\n');
        else
            append_wrapped(out, shown->description, line_width, column + 4);
    }
    return out;
}

} // namespace Ostrel::cmd_line
