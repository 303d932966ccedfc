// tirvane controls and tirvane set: every knob of a device, and setting one of them.
#include "cli/controls_commands.h"

#include <charconv>
#include <optional>
#include <system_error>

#include "app_client/api.h"
#include "app_client/app_contract.h"
#include "cli/commands.h"
#include "cli/fail.h"
#include "cli/options.h"
#include "cli/photo_commands.h"
#include "cli/text_columns.h"
#include "platform/platform.h"

namespace {

// A whole number as the JSON integer its sign calls for.
JsonValue json_integer(std::int64_t number) {
  if (number < 0) return JsonValue(number);
  return JsonValue(static_cast<std::uint64_t>(number));
}

}  // namespace

std::string controls_report(const JsonValue& controls) {
  std::string report;
  for (const JsonValue& control : list_of(member(controls, "controls"))) {
    report.append("  ")
        .append(pad_right(text_or(member(control, "name"), "?"), 14))
        .append(" ")
        .append(json_text(member(control, "min")))
        .append("..")
        .append(json_text(member(control, "max")))
        .append("  now ")
        .append(json_text(member(control, "value")))
        .append("\n");
  }
  return report;
}

std::string set_report(const JsonValue& answer) {
  return json_text(member(answer, "control")) + " = " + json_text(member(answer, "value")) +
         " (was " + json_text(member(answer, "was")) + ")\n";
}

std::optional<std::int64_t> whole_number(std::string_view text) {
  const bool signed_text = !text.empty() && (text.front() == '+' || text.front() == '-');
  const std::string_view digits = signed_text ? text.substr(1) : text;
  if (digits.empty()) return std::nullopt;
  for (char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
  }
  // from_chars takes a "-" but not a "+"; the range check is its own.
  const std::string_view number_text = text.starts_with('+') ? digits : text;
  std::int64_t number = 0;
  const char* end = number_text.data() + number_text.size();
  const auto [stop, error] = std::from_chars(number_text.data(), end, number);
  if (error != std::errc() || stop != end) return std::nullopt;
  return number;
}

void run_controls(const Positional&) {
  const std::string path = std::string(contract::kControlsQuery) + device_query();
  const JsonValue controls = read_json(api_get(path));
  if (wants_json()) {
    print_json(controls);
  } else {
    platform::write_stdout(controls_report(controls));
  }
}

void run_set(const Positional& positional) {
  const std::string& name = positional.at(1);
  const std::optional<std::int64_t> value = whole_number(positional.at(2));
  if (!value) fail("value must be a whole number");

  const std::optional<std::string> device = option_value("device");
  JsonValue body = JsonValue::object();
  body["device"] = device ? json_string(*device) : JsonValue();
  body["name"] = json_string(name);
  body["value"] = json_integer(*value);

  const JsonValue answer = read_json(api_post(contract::kControls, body));
  if (wants_json()) {
    print_json(answer);
  } else {
    platform::write_stdout(set_report(answer));
  }
}
