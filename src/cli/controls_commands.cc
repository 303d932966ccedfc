// tirvane controls and tirvane set: every knob of a device, and setting one of them.
#include "cli/controls_commands.h"

#include <optional>

#include "cli/app_connection.h"
#include "cli/capture_output.h"
#include "cli/commands.h"
#include "cli/fail.h"
#include "cli/json_output.h"
#include "cli/options.h"
#include "cli/text_columns.h"
#include "platform/platform.h"
#include "protocol/app_contract.h"
#include "protocol/decimal.h"

namespace key = contract::key;

namespace {

// A whole number as the JSON integer its sign calls for.
JsonValue json_integer(std::int64_t number) {
  if (number < 0) return JsonValue(number);
  return JsonValue(static_cast<std::uint64_t>(number));
}

}  // namespace

std::string controls_report(const JsonValue& controls) {
  std::string report;
  for (const JsonValue& control : list_of(member(controls, key::kControls))) {
    report.append("  ")
        .append(pad_right(text_or(member(control, key::kName), "?"), 14))
        .append(" ")
        .append(json_text(member(control, key::kMin)))
        .append("..")
        .append(json_text(member(control, key::kMax)))
        .append("  now ")
        .append(json_text(member(control, key::kValue)))
        .append("\n");
  }
  return report;
}

std::string set_report(const JsonValue& answer) {
  return json_text(member(answer, key::kControl)) + " = " + json_text(member(answer, key::kValue)) +
         " (was " + json_text(member(answer, key::kWas)) + ")\n";
}

std::optional<std::int64_t> parse_whole_number(std::string_view text) {
  return parse_decimal<std::int64_t>(text, LeadingPlus::kAllowed);
}

void run_controls(const Positional&) {
  const std::string path = std::string(contract::kControlsQuery) + device_query();
  const JsonValue controls = read_json(get_or_fail(path));
  if (wants_json()) {
    print_json(controls);
  } else {
    platform::write_stdout(controls_report(controls));
  }
}

void run_set(const Positional& positional) {
  const std::string& name = positional.at(1);
  const std::optional<std::int64_t> value = parse_whole_number(positional.at(2));
  if (!value) fail("value must be a whole number");

  const std::optional<std::string> device = option_value("device");
  JsonValue body = JsonValue::object();
  body[key::kDevice] = device ? json_string(*device) : JsonValue();
  body[key::kName] = json_string(name);
  body[key::kValue] = json_integer(*value);

  const JsonValue answer = read_json(post_or_fail(contract::kControls, body));
  if (wants_json()) {
    print_json(answer);
  } else {
    platform::write_stdout(set_report(answer));
  }
}
