// The tools the server offers, as tools/list gives them: name, title, description, the JSON
// Schema of their arguments and of their structured result, and annotations. The argument
// schemas are also what calls are checked against (check_arguments).
#pragma once

#include <optional>
#include <string>

#include "mcp/json.h"

namespace mcp {

// Every tool, in the order listed.
const JsonValue& tool_definitions();

// The definition of the tool called `name`, or null.
const JsonValue* find_tool(const std::string& name);

// Nothing when `arguments` fit the tool's input schema, else what is wrong, naming the argument.
// Checks what the schemas here use: types (string, integer, number, boolean, object), required
// members and no members beyond those declared; value ranges are the service's to judge.
std::optional<std::string> check_arguments(const JsonValue& arguments, const JsonValue& schema);

// The largest side of a picture returned when a call names none, and the most bytes of JPEG a
// picture may have: sizes every agent host takes without refusing or scaling again.
inline constexpr int kDefaultMaxSide = 1568;
inline constexpr std::size_t kMaxPictureBytes = 750 * 1024;

}  // namespace mcp
