// The command table and the handler of each command word.
//
// A handler gets the positional arguments (the command word first), reads its options when it
// needs them, talks to the service, prints its result and returns; or it ends the run with fail().
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

using Positional = std::vector<std::string>;
using Handler = void (*)(const Positional& positional);

struct Command {
  std::string_view word;
  // Operands that must follow the command word, counted before anything else happens.
  std::size_t operands_required;
  // Given to fail() when fewer operands are present.
  std::string_view usage;
  Handler run;
};

// The entry for `word`, matched whole and case-sensitively, or nullptr.
const Command* find_command(std::string_view word);

void run_help(const Positional& positional);
void run_snap(const Positional& positional);
void run_screenshot(const Positional& positional);
void run_look(const Positional& positional);
void run_focus(const Positional& positional);
void run_record(const Positional& positional);
void run_devices(const Positional& positional);
void run_controls(const Positional& positional);
void run_set(const Positional& positional);
void run_sources(const Positional& positional);
void run_add_source(const Positional& positional);
void run_forget_source(const Positional& positional);
void run_status(const Positional& positional);
