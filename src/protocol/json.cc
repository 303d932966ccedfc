#include "protocol/json.h"

#include <cmath>

namespace {

std::string dump(const JsonValue& value, int indent) {
  // Invalid UTF-8 can only come from text a program built itself (arguments, request fields);
  // it is replaced rather than failing, so every document can be written.
  return value.dump(indent, ' ', false, nlohmann::json::error_handler_t::replace);
}

// Refuses nesting deeper than kMaxJsonDepth and numbers beyond the range of a double (they would
// come back as infinity, which has no JSON text); everything else is the parser's own checking.
class StructureCheck : public nlohmann::json_sax<JsonValue> {
 public:
  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t value, const string_t&) override {
    return std::isfinite(value);
  }
  bool string(string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool start_object(std::size_t) override { return enter(); }
  bool key(string_t&) override { return true; }
  bool end_object() override { return leave(); }
  bool start_array(std::size_t) override { return enter(); }
  bool end_array() override { return leave(); }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  bool enter() { return ++depth_ <= kMaxJsonDepth; }
  bool leave() {
    --depth_;
    return true;
  }
  int depth_ = 0;
};

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
  // The parser takes a NUL byte for the end of the input and would accept a document followed by
  // one. No valid JSON text holds a NUL (in a string it must be escaped), so any NUL refuses it.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  // Checked in a pass of its own: the parser's filtering callback would do it while building,
  // but it rescans the enclosing container after every nested object, which is quadratic.
  StructureCheck check;
  if (!nlohmann::json::sax_parse(text, &check)) return std::nullopt;
  JsonValue parsed = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
  if (parsed.is_discarded()) return std::nullopt;
  return parsed;
}
