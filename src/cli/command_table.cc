#include "cli/commands.h"

#include <array>

#include "cli/help_text.h"
#include "platform/platform.h"

namespace {

constexpr std::array kCommands{
    Command{"snap", 0, "", run_snap},
    Command{"screenshot", 0, "", run_screenshot},
    Command{"look", 0, "", run_look},
    Command{"focus", 0, "", run_focus},
    Command{"record", 0, "", run_record},
    Command{"devices", 0, "", run_devices},
    Command{"controls", 0, "", run_controls},
    Command{"set", 2, "usage: tirvane set <name> <value>   e.g. tirvane set focus 60", run_set},
    Command{"sources", 0, "", run_sources},
    Command{"add-source", 2,
            "usage: tirvane add-source <name> <url>\n"
            "  e.g. tirvane add-source phone http://192.168.1.50:8080/shot.jpg",
            run_add_source},
    Command{"forget-source", 1, "usage: tirvane forget-source <name>", run_forget_source},
    Command{"status", 0, "", run_status},
    Command{"", 0, "", run_help},
    Command{"-h", 0, "", run_help},
    Command{"help", 0, "", run_help},
};

}  // namespace

const Command* find_command(std::string_view word) {
  for (const Command& command : kCommands) {
    if (command.word == word) return &command;
  }
  return nullptr;
}

void run_help(const Positional&) {
  platform::write_stdout(kHelpText);
  platform::write_stdout("\n");
}
