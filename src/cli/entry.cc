// The entry point: one command word, one handler, one exit status.
#include <new>
#include <string>

#include "cli/commands.h"
#include "cli/fail.h"
#include "cli/help_text.h"
#include "cli/options.h"
#include "platform/entry.h"
#include "platform/platform.h"

int program_main(std::vector<std::string> arguments) {
  set_arguments(std::move(arguments));
  const Positional positional = positional_args();
  if (positional.empty()) {
    run_help(positional);
    finish(kExitSuccess);
  }
  const Command* command = find_command(positional.front());
  if (command == nullptr) {
    std::string report = "unknown command: " + positional.front() + "\n\n";
    report.append(kHelpText).append("\n");
    platform::write_stderr(report);
    finish(kExitFailure);
  }
  if (positional.size() - 1 < command->operands_required) fail(command->usage);
  try {
    command->run(positional);
  } catch (const std::bad_alloc&) {
    // A large answer read as a document, or held twice: a report, never an abort.
    fail("out of memory");
  }
  finish(kExitSuccess);
}
