// tirvane record.
#include "cli/record_command.h"

#include "cli/app_connection.h"
#include "cli/capture_output.h"
#include "cli/commands.h"
#include "cli/fail.h"
#include "cli/options.h"
#include "protocol/app_contract.h"
#include "protocol/decimal.h"

namespace key = contract::key;

std::optional<std::uint32_t> secs_value(std::string_view text) {
  return parse_decimal<std::uint32_t>(text, LeadingPlus::kAllowed);
}

std::optional<std::uint32_t> parse_secs() {
  const std::optional<std::string> text = option_value("secs");
  if (!text) return std::nullopt;
  const std::optional<std::uint32_t> secs = secs_value(*text);
  if (!secs) fail(kSecsUsage);
  return secs;
}

JsonValue record_body(const std::optional<std::string>& format, std::optional<std::uint32_t> secs) {
  JsonValue body = JsonValue::object();
  body[key::kFormat] = format ? json_string(*format) : JsonValue();
  body[key::kSecs] = secs ? JsonValue(*secs) : JsonValue();
  return body;
}

std::string_view record_file_name(const std::optional<std::string>& format) {
  return format == "mp4" ? "screen.mp4" : "screen.webm";
}

void run_record(const Positional&) {
  const std::optional<std::uint32_t> secs = parse_secs();
  const std::optional<std::string> format = option_value("format");
  const HttpResponse response = post_or_fail(contract::kScreenRecord, record_body(format, secs));
  const Body& video = captured_body(response, "could not record the screen");
  print_saved(SavedFile{write_output(video, record_file_name(format)), video.size()});
}
