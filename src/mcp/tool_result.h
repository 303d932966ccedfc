// The results of tool calls, and the road from a service answer to one: a failure the model
// should read is a result with isError set and the service's own words, never a protocol error.
#pragma once

#include <optional>
#include <string>
#include <variant>

#include "mcp/json.h"
#include "mcp/service_calls.h"

namespace mcp {

// A call that cannot complete, in words for the model.
struct ToolFailure {
  std::string message;
};

template <class T>
using Outcome = std::variant<T, ToolFailure>;

// The answer when the service was reached and said yes; else the failure: the service's own
// "error" text for a refusal, or how to get it running when it could not be reached.
Outcome<ServiceAnswer> accepted(ServiceResult result, const std::string& port);
// The same, with the answer's body read as JSON.
Outcome<JsonValue> accepted_json(ServiceResult result, const std::string& port);

// {"content": [...], "structuredContent": ..., "isError": false}
JsonValue success(JsonValue content, JsonValue structured);
// {"content": [{"type": "text", "text": message}], "isError": true}
JsonValue failure(const std::string& message);

JsonValue text_block(const std::string& text);

// `value` with its characters outside the URI's plain ones percent-encoded, for a query string.
std::string query_text(const std::string& value);

}  // namespace mcp
