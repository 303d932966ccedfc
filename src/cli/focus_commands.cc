// tirvane focus and tirvane look.
#include "cli/focus_commands.h"

#include <algorithm>
#include <charconv>
#include <iterator>
#include <limits>
#include <vector>

#include "cli/app_connection.h"
#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/options.h"
#include "cli/photo_commands.h"
#include "cli/text_columns.h"
#include "platform/platform.h"
#include "protocol/app_contract.h"

namespace key = contract::key;

namespace {

// The sweep's samples: the elements of sweep.samples, or none when that is not an array.
const std::vector<JsonValue>& samples_of(const JsonValue& document) {
  return list_of(member(member(document, key::kSweep), key::kSamples));
}

// The largest numeric sharpness among the samples, but never below 1.0, so a sweep of faint
// readings is not stretched to full bars.
double chart_max(const std::vector<JsonValue>& samples) {
  double most = 1.0;
  for (const JsonValue& sample : samples) {
    const JsonValue& sharpness = member(sample, key::kSharpness);
    if (sharpness.is_number()) most = std::max(most, sharpness.get<double>());
  }
  return most;
}

std::string sample_line(const JsonValue& sample, double most) {
  std::string line = "  ";
  line.append(pad_left(json_text(member(sample, key::kFocus)), kFocusField)).append(" ");
  line.append(bar_length(number_or_zero(member(sample, key::kSharpness)), most), '#');
  line.append("\n");
  return line;
}

}  // namespace

JsonValue run_focus_sweep() {
  const std::optional<std::string> device = option_value("device");
  JsonValue body = JsonValue::object();
  body[key::kDevice] = device ? json_string(*device) : JsonValue();
  return read_json(post_or_fail(contract::kFocus, body));
}

std::int64_t focus_key(const JsonValue& sample) {
  const JsonValue& focus = member(sample, key::kFocus);
  if (focus.is_number_unsigned()) {
    const auto value = focus.get<std::uint64_t>();
    if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max())) return 0;
    return static_cast<std::int64_t>(value);
  }
  if (focus.is_number_integer()) return focus.get<std::int64_t>();
  return 0;
}

double number_or_zero(const JsonValue& value) {
  return value.is_number() ? value.get<double>() : 0.0;
}

std::string whole_number_text(double value) {
  // Fixed notation with no fraction digits is the exactly rounded value (halves to even) with
  // every digit of the integer part, whatever the C runtime's printf would do.
  char text[400];  // the largest double has 309 digits
  const std::to_chars_result end =
      std::to_chars(std::begin(text), std::end(text), value, std::chars_format::fixed, 0);
  return std::string(text, end.ptr);
}

std::size_t bar_length(double sharpness, double chart_max) {
  const double length = sharpness / chart_max * static_cast<double>(kBarWidth);
  // Written so that NaN also gives no bar.
  if (!(length > 0.0)) return 0;
  if (length >= static_cast<double>(kBarWidth)) return kBarWidth;
  return static_cast<std::size_t>(length);
}

std::string focus_report(const JsonValue& document) {
  const JsonValue& sweep = member(document, key::kSweep);
  const std::vector<JsonValue>& samples = samples_of(document);
  const double most = chart_max(samples);

  const std::string dot = " \xC2\xB7 ";  // U+00B7 between spaces
  const std::string sharpness = whole_number_text(number_or_zero(member(sweep, key::kSharpness)));
  std::string report = "locked focus " + json_text(member(sweep, key::kFocus)) + dot +
                       "sharpness " + sharpness + dot + std::to_string(samples.size()) +
                       " samples\n";

  std::vector<const JsonValue*> ordered;
  ordered.reserve(samples.size());
  for (const JsonValue& sample : samples) ordered.push_back(&sample);
  std::stable_sort(ordered.begin(), ordered.end(), [](const JsonValue* a, const JsonValue* b) {
    return focus_key(*a) < focus_key(*b);
  });
  for (const JsonValue* sample : ordered) report.append(sample_line(*sample, most));
  return report;
}

std::string look_line(const JsonValue& document) {
  const JsonValue& sweep = member(document, key::kSweep);
  return "focus " + json_text(member(sweep, key::kFocus)) + " (sharpness " +
         whole_number_text(number_or_zero(member(sweep, key::kSharpness))) + ")\n";
}

JsonValue look_document(const JsonValue& document, const SavedFile& saved) {
  JsonValue result = saved_document(saved);
  result["sweep"] = member(document, key::kSweep);
  return result;
}

void run_focus(const Positional&) {
  const JsonValue document = run_focus_sweep();
  if (wants_json()) {
    print_json(document);
  } else {
    platform::write_stdout(focus_report(document));
  }
}

void run_look(const Positional&) {
  const JsonValue document = run_focus_sweep();
  const SavedFile saved = take_photo();
  if (wants_json()) {
    platform::write_stdout(json_text(look_document(document, saved)) + "\n");
  } else {
    platform::write_stdout(look_line(document) + saved_line(saved));
  }
}
