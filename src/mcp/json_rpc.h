// JSON-RPC 2.0 messages as MCP carries them: one JSON object a line. Reading checks what the
// protocol requires of a message and names what is wrong; writing gives the compact line to send
// (valid UTF-8 always, no line break inside).
#pragma once

#include <string>
#include <string_view>
#include <variant>

#include "mcp/json.h"

namespace mcp {

enum RpcErrorCode : int {
  kParseError = -32700,
  kInvalidRequest = -32600,
  kMethodNotFound = -32601,
  kInvalidParams = -32602,
  kInternalError = -32603,
};

struct RpcError {
  int code = kInvalidRequest;
  std::string message;
  JsonValue id;  // null when the message's id could not be read
};

struct Message {
  enum class Kind { kRequest, kNotification, kResponse };
  Kind kind = Kind::kRequest;
  JsonValue id;        // a string or an integer; null for a notification
  std::string method;  // empty for a response
  JsonValue params;    // an object, or null when absent
};

// One line as a message, or the error to answer it with.
std::variant<Message, RpcError> read_message(std::string_view line);

std::string result_line(const JsonValue& id, const JsonValue& result);
std::string error_line(const RpcError& error);
std::string notification_line(std::string_view method, const JsonValue& params);

}  // namespace mcp
