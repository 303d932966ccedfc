// The command line, looked up on demand.
//
// There is no option pass: each command asks for the options it uses when it needs them, and an
// option nobody asks for is ignored. Every lookup scans the whole argument vector afresh.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// Keeps the argument vector (program name first) for the lookups below. Called once at start.
void set_arguments(std::vector<std::string> arguments);
const std::vector<std::string>& arguments();

// An argument of at least two characters that begins with "--".
bool is_option_word(std::string_view argument);

// Every argument after the program name that is not an option word; the command word first.
std::vector<std::string> positional_args();

// The value of --NAME=VALUE (the first such argument wins), else of --NAME VALUE (only the first
// "--NAME" is looked at; a following option word or the end of the line gives nothing).
std::optional<std::string> option_value(std::string_view name);

// True when some argument is exactly "--json".
bool wants_json();
