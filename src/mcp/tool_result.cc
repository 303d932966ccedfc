#include "mcp/tool_result.h"

namespace mcp {

Outcome<ServiceAnswer> accepted(ServiceResult result, const std::string& port) {
  if (auto* down = std::get_if<ServiceDown>(&result)) {
    return ToolFailure{"cannot reach the Tirvane service at 127.0.0.1:" + port + " (" +
                       down->message +
                       "). Is tirvane-app running? Start it (or check the port), then call again."};
  }
  ServiceAnswer& answer = std::get<ServiceAnswer>(result);
  if (answer.status >= 400 || answer.status < 100) {
    const std::optional<JsonValue> document = parse_json_document(answer.body);
    const std::string fallback =
        "the service refused the request (HTTP status " + std::to_string(answer.status) + ")";
    return ToolFailure{document ? text_or(member(*document, "error"), fallback) : fallback};
  }
  return std::move(answer);
}

Outcome<JsonValue> accepted_json(ServiceResult result, const std::string& port) {
  Outcome<ServiceAnswer> answer = accepted(std::move(result), port);
  if (auto* failed = std::get_if<ToolFailure>(&answer)) return *failed;
  std::optional<JsonValue> document = parse_json_document(std::get<ServiceAnswer>(answer).body);
  if (!document || !document->is_object()) {
    return ToolFailure{"the service's answer is not a JSON object"};
  }
  return std::move(*document);
}

JsonValue success(JsonValue content, JsonValue structured) {
  return {{"content", std::move(content)},
          {"structuredContent", std::move(structured)},
          {"isError", false}};
}

JsonValue failure(const std::string& message) {
  return {{"content", JsonValue::array({text_block(message)})}, {"isError", true}};
}

JsonValue text_block(const std::string& text) { return {{"type", "text"}, {"text", text}}; }

std::string query_text(const std::string& value) {
  static const char* const kHex = "0123456789ABCDEF";
  std::string text;
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if ((byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || (byte >= '0' && byte <= '9') ||
        c == '-' || c == '_' || c == '.' || c == '~' || c == ':') {
      text += c;
    } else {
      text += '%';
      text += kHex[byte >> 4];
      text += kHex[byte & 0xF];
    }
  }
  return text;
}

}  // namespace mcp
