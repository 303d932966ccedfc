// tirvane devices: every eye the service offers, one aligned line each.
#include "cli/devices_command.h"

#include "cli/app_connection.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/options.h"
#include "cli/text_columns.h"
#include "platform/platform.h"
#include "protocol/app_contract.h"

namespace key = contract::key;

std::string devices_report(const JsonValue& devices) {
  const std::vector<JsonValue>& list = list_of(member(devices, key::kDevices));
  if (list.empty()) return "no cameras found \xE2\x80\x94 plug one in; any UVC webcam works\n";
  std::string report;
  for (const JsonValue& device : list) {
    report.append("  ")
        .append(pad_left(text_or(member(device, key::kId), "?"), 3))
        .append("  ")
        .append(pad_right(text_or(member(device, key::kName), "?"), 34))
        .append(" ")
        .append(is_true(member(device, key::kFocusable)) ? "focusable" : "fixed focus")
        .append("\n");
  }
  return report;
}

void run_devices(const Positional&) {
  const JsonValue devices = read_json(get_or_fail(contract::kDevices));
  if (wants_json()) {
    print_json(devices);
  } else {
    platform::write_stdout(devices_report(devices));
  }
}
