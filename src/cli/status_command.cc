// tirvane status: is the service running, and what is it set to.
#include "app_client/api.h"
#include "app_client/app_contract.h"
#include "cli/commands.h"
#include "cli/options.h"
#include "platform/platform.h"

namespace {

void print_status(const JsonValue& health) {
  if (wants_json()) {
    print_json(health);
    return;
  }
  const JsonValue& settings = member(health, "settings");
  std::string device = text_or(member(settings, "device"), "");
  if (device.empty()) device = "(best available)";
  platform::write_stdout("tirvane " + json_text(member(health, "version")) + " on port " +
                         json_text(member(health, "port")) + "\n  camera  " + device +
                         "\n  size    " + json_text(member(settings, "width")) + "x" +
                         json_text(member(settings, "height")) + "\n");
}

}  // namespace

void run_status(const Positional&) { print_status(read_json(api_get(contract::kHealth))); }
