// What each tool does: its requests to the capture service and the result built from the
// answers. Arguments arrive already checked against the tool's input schema.
#pragma once

#include <functional>
#include <string>

#include "mcp/json.h"

namespace mcp {

struct CallContext {
  std::string port;  // the service's
  // Reports progress of a long call (done so far, the total, a line for people); empty when the
  // call carries no progress token.
  std::function<void(double done, double total, const std::string& message)> progress;
};

// The result of tools/call for the known tool `name`.
JsonValue call_tool(const std::string& name, const JsonValue& arguments, const CallContext& context);

}  // namespace mcp
