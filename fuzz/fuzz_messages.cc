// The MCP server's message reader: bytes arrive in pieces of chosen sizes, are cut into lines
// with a small line limit (so over-long lines are common), and each line is read as a JSON-RPC
// message; a tools/call has its arguments checked against the tool's schema. What must hold: a
// line handed on is never longer than the limit and holds no line break; a line is either a
// message or an error with a code and a text; every answer written is one line of JSON that
// parses back.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mcp/json_rpc.h"
#include "mcp/line_reader.h"
#include "mcp/tool_list.h"

namespace {

constexpr std::size_t kLimit = 4096;

void check_line(const std::string& line) {
  if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) std::abort();
  std::optional<JsonValue> parsed = parse_json_document(line);
  if (!parsed || !parsed->is_object()) std::abort();
}

void read_one(const mcp::InputLine& line) {
  if (line.too_long) {
    if (!line.text.empty()) std::abort();
    check_line(mcp::error_line({mcp::kInvalidRequest, "too long", nullptr}));
    return;
  }
  if (line.text.size() > kLimit || line.text.find('\n') != std::string::npos) std::abort();
  auto read = mcp::read_message(line.text);
  if (auto* error = std::get_if<mcp::RpcError>(&read)) {
    if (error->code >= 0 || error->message.empty()) std::abort();
    check_line(mcp::error_line(*error));
    return;
  }
  const mcp::Message& message = std::get<mcp::Message>(read);
  if (message.kind == mcp::Message::Kind::kRequest && !message.id.is_string() &&
      !message.id.is_number_integer()) {
    std::abort();
  }
  if (message.method == "tools/call") {
    const JsonValue& name = member(message.params, "name");
    if (const JsonValue* tool = name.is_string() ? mcp::find_tool(name.get<std::string>()) : nullptr) {
      auto problem = mcp::check_arguments(member(message.params, "arguments"), (*tool)["inputSchema"]);
      if (problem && problem->empty()) std::abort();
    }
  }
  check_line(mcp::result_line(message.id, message.params));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  // The first byte sets the size of the pieces the input arrives in (1 to 256 bytes).
  const std::size_t piece = static_cast<std::size_t>(data[0]) + 1;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  mcp::LineReader reader(kLimit);
  for (std::size_t at = 0; at < input.size(); at += piece) {
    reader.feed(input.substr(at, piece));
    while (auto line = reader.next()) read_one(*line);
  }
  reader.finish();
  while (auto line = reader.next()) read_one(*line);
  return 0;
}
