// tirvane status: is the service running, and what is it set to.
#include "cli/status_command.h"

#include "cli/app_connection.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/options.h"
#include "platform/platform.h"
#include "protocol/app_contract.h"

namespace key = contract::key;

std::string status_report(const JsonValue& health) {
  const JsonValue& settings = member(health, key::kSettings);
  std::string device = text_or(member(settings, key::kDevice), "");
  if (device.empty()) device = "(best available)";
  return "tirvane " + json_text(member(health, key::kVersion)) + " on port " +
         json_text(member(health, key::kPort)) + "\n  camera  " + device + "\n  size    " +
         json_text(member(settings, key::kWidth)) + "x" +
         json_text(member(settings, key::kHeight)) + "\n";
}

void run_status(const Positional&) {
  const JsonValue health = read_json(get_or_fail(contract::kHealth));
  if (wants_json()) {
    print_json(health);
  } else {
    platform::write_stdout(status_report(health));
  }
}
