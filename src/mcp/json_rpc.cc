#include "mcp/json_rpc.h"

namespace mcp {
namespace {

bool is_valid_id(const JsonValue& id) { return id.is_string() || id.is_number_integer(); }

std::string line_of(const JsonValue& message) {
  // Text from requests may hold bytes that are not UTF-8: they go out as U+FFFD, so every line
  // sent is valid JSON. Line breaks inside strings are escaped by the compact form.
  return message.dump(-1, ' ', false, JsonValue::error_handler_t::replace) + "\n";
}

}  // namespace

std::variant<Message, RpcError> read_message(std::string_view line) {
  std::optional<JsonValue> parsed = parse_json_document(line);
  if (!parsed) {
    return RpcError{kParseError,
                    "parse error: the line is not one JSON document in UTF-8 (or nests deeper than " +
                        std::to_string(kMaxJsonDepth) + " levels)",
                    nullptr};
  }
  const JsonValue& message = *parsed;
  if (message.is_array()) {
    return RpcError{kInvalidRequest, "invalid request: batches are not supported; send one message a line", nullptr};
  }
  if (!message.is_object()) {
    return RpcError{kInvalidRequest, "invalid request: a message must be a JSON object", nullptr};
  }
  const JsonValue& id = member(message, "id");
  const bool has_id = message.contains("id");
  if (has_id && !is_valid_id(id)) {
    return RpcError{kInvalidRequest, "invalid request: id must be a string or a whole number", nullptr};
  }
  const JsonValue reply_id = has_id ? id : JsonValue(nullptr);
  if (text_or(member(message, "jsonrpc"), "") != "2.0") {
    return RpcError{kInvalidRequest, "invalid request: jsonrpc must be \"2.0\"", reply_id};
  }
  const JsonValue& method = member(message, "method");
  if (!message.contains("method")) {
    if (has_id && (message.contains("result") || message.contains("error"))) {
      return Message{Message::Kind::kResponse, id, {}, nullptr};
    }
    return RpcError{kInvalidRequest, "invalid request: method is missing", reply_id};
  }
  if (!method.is_string()) {
    return RpcError{kInvalidRequest, "invalid request: method must be a string", reply_id};
  }
  const JsonValue& params = member(message, "params");
  if (message.contains("params") && !params.is_object()) {
    return RpcError{kInvalidParams, "invalid params: params must be an object", reply_id};
  }
  return Message{has_id ? Message::Kind::kRequest : Message::Kind::kNotification, reply_id,
                 method.get<std::string>(), params};
}

std::string result_line(const JsonValue& id, const JsonValue& result) {
  return line_of(JsonValue{{"jsonrpc", "2.0"}, {"id", id}, {"result", result}});
}

std::string error_line(const RpcError& error) {
  return line_of(JsonValue{{"jsonrpc", "2.0"},
                           {"id", error.id},
                           {"error", {{"code", error.code}, {"message", error.message}}}});
}

std::string notification_line(std::string_view method, const JsonValue& params) {
  return line_of(JsonValue{{"jsonrpc", "2.0"}, {"method", method}, {"params", params}});
}

}  // namespace mcp
