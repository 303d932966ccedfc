// tirvane record.
#include "cli/record_command.h"

#include <limits>

#include "app_client/api.h"
#include "app_client/app_contract.h"
#include "cli/commands.h"
#include "cli/fail.h"
#include "cli/options.h"
#include "cli/photo_commands.h"

std::optional<std::uint32_t> secs_value(std::string_view text) {
  if (text.starts_with('+')) text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
    if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
  }
  return static_cast<std::uint32_t>(value);
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
  body["format"] = format ? json_string(*format) : JsonValue();
  body["secs"] = secs ? JsonValue(*secs) : JsonValue();
  return body;
}

std::string_view record_file_name(const std::optional<std::string>& format) {
  return format == "mp4" ? "screen.mp4" : "screen.webm";
}

void run_record(const Positional&) {
  const std::optional<std::uint32_t> secs = parse_secs();
  const std::optional<std::string> format = option_value("format");
  const HttpResponse response = api_post(contract::kScreenRecord, record_body(format, secs));
  const Body& video = captured_body(response, "could not record the screen");
  print_saved(SavedFile{write_output(video, record_file_name(format)), video.size()});
}
