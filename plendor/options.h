#pragma once
// The utility's command line: one of five verbs, each written with two hyphens and followed by a
// folder ("--optimize C:\Data"). Only the first present verb in the order convert, optimize,
// recover, delete, create-in is run; free arguments are kept but never used.

#include <ostrel/cmd_line.h>

#include <optional>
#include <string>
#include <string_view>

enum class verb { convert, optimize, recover, delete_folder, create_in };

struct verb_request {
    verb kind;
    std::wstring folder;
};

// Adds the five options, hidden from help texts.
void define_options(Ostrel::cmd_line::option_table& table);

// The program's own command line: an option that fails to parse is skipped, and nothing escapes.
void parse_own_command_line(Ostrel::cmd_line::option_table& table, std::wstring_view command_line) noexcept;

// A command line handed over by a later start: a syntax error anywhere raises
// Ostrel::cmd_line_syntax_error, and the command is then dropped by the caller.
void parse_forwarded_command_line(Ostrel::cmd_line::option_table& table, std::wstring_view command_line);

// The verb to run, copied out of the table.
std::optional<verb_request> first_verb(const Ostrel::cmd_line::option_table& table);
