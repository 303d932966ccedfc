#include "protocol/json.h"

#include <cmath>

namespace {

std::string dump(const JsonValue& value, int indent) {
  // Invalid UTF-8 can only come from text a program built itself (arguments, request fields);
  // it is replaced rather than failing, so every document can be written.
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

}  // namespace

const JsonValue& member(const JsonValue& value, std::string_view key) {
  static const JsonValue null_value;
  if (!value.is_object()) return null_value;
  auto found = value.find(key);
  return found == value.end() ? null_value : *found;
}

std::string text_or(const JsonValue& value, std::string_view fallback) {
  if (value.is_string()) return value.get_ref<const std::string&>();
  return std::string(fallback);
}

const std::vector<JsonValue>& list_of(const JsonValue& value) {
  static const std::vector<JsonValue> empty;
  if (value.is_array()) return value.get_ref<const JsonValue::array_t&>();
  return empty;
}

bool is_true(const JsonValue& value) { return value.is_boolean() && value.get<bool>(); }

JsonValue json_string(std::string_view text) { return JsonValue(std::string(text)); }

std::string json_text(const JsonValue& value) { return dump(value, -1); }

std::string pretty_json_text(const JsonValue& value) { return dump(value, 2); }

std::optional<JsonValue> parse_json_document(std::string_view text) {
  // The parser would skip a byte-order mark; a document that starts with one is not accepted.
  if (text.substr(0, 3) == "\xEF\xBB\xBF") return std::nullopt;
  using Event = nlohmann::json::parse_event_t;
  bool refused = false;
  auto check = [&refused](int depth, Event event, JsonValue& parsed) {
    if ((event == Event::object_start || event == Event::array_start) && depth >= kMaxJsonDepth) {
      refused = true;
    }
    // A number too large for a double would come back as infinity, which has no JSON text.
    if (event == Event::value && parsed.is_number_float() &&
        !std::isfinite(parsed.get<double>())) {
      refused = true;
    }
    return !refused;
  };
  JsonValue parsed = nlohmann::json::parse(text, check, /*allow_exceptions=*/false);
  if (refused || parsed.is_discarded()) return std::nullopt;
  return parsed;
}
