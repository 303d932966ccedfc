#include "mcp/server.h"

#include <array>
#include <chrono>

#include "mcp/tool_list.h"
#include "mcp/tools.h"

#ifndef TIRVANE_VERSION
#define TIRVANE_VERSION "0.0.0"
#endif

namespace mcp {
namespace {

constexpr std::array<std::string_view, 4> kSupported{"2025-11-25", "2025-06-18", "2025-03-26",
                                                     "2024-11-05"};

const char* const kInstructions =
    "Eyes for the agent: take photos with cameras (snap, look), capture and record the screen "
    "(screenshot, record), focus and adjust cameras (focus, controls, set_control), and manage "
    "phone and IP cameras (sources, add_source, forget_source). Pictures come back as images with "
    "their scale to the device's own pixels; use region to see a detail at full resolution.";

}  // namespace

Server::Server(std::string port, Send send, Log log)
    : port_(std::move(port)), send_(std::move(send)), log_(std::move(log)) {}

void Server::handle(const InputLine& line) {
  if (line.too_long) {
    log_("refused a line longer than " + std::to_string(kMaxLineBytes) + " bytes");
    send_(error_line(RpcError{kInvalidRequest,
                              "invalid request: the message is longer than " +
                                  std::to_string(kMaxLineBytes) +
                                  " bytes; it was skipped up to its line break",
                              nullptr}));
    return;
  }
  std::variant<Message, RpcError> read = read_message(line.text);
  if (auto* error = std::get_if<RpcError>(&read)) {
    log_(error->message);
    send_(error_line(*error));
    return;
  }
  const Message& message = std::get<Message>(read);
  // Responses (the server sends no requests) and notifications (initialized, cancelled) need no
  // answer.
  if (message.kind != Message::Kind::kRequest) return;
  std::variant<JsonValue, RpcError> answer;
  if (message.method == "initialize") {
    answer = initialize(message.params);
  } else if (message.method == "ping") {
    answer = JsonValue::object();
  } else if (message.method == "tools/list") {
    answer = list_tools();
  } else if (message.method == "tools/call") {
    answer = call(message);
  } else {
    answer = RpcError{kMethodNotFound, "method not found: " + message.method, message.id};
  }
  if (auto* error = std::get_if<RpcError>(&answer)) {
    error->id = message.id;
    send_(error_line(*error));
  } else {
    send_(result_line(message.id, std::get<JsonValue>(answer)));
  }
}

JsonValue Server::initialize(const JsonValue& params) {
  const std::string asked = text_or(member(params, "protocolVersion"), "");
  version_ = std::string(kLatestProtocolVersion);
  for (std::string_view supported : kSupported) {
    if (asked == supported) version_ = asked;
  }
  const JsonValue& client = member(params, "clientInfo");
  log_("initialize: " + text_or(member(client, "name"), "a client") + " " +
       text_or(member(client, "version"), "") + " asked for " + (asked.empty() ? "no version" : asked) +
       "; speaking " + version_);
  JsonValue server_info{{"name", "tirvane-mcp"}, {"version", TIRVANE_VERSION}};
  if (!before("2025-06-18")) server_info["title"] = "Tirvane";
  return {{"protocolVersion", version_},
          {"capabilities", {{"tools", {{"listChanged", false}}}}},
          {"serverInfo", server_info},
          {"instructions", kInstructions}};
}

JsonValue Server::list_tools() const {
  JsonValue tools = tool_definitions();
  for (JsonValue& tool : tools) {
    if (before("2025-06-18")) {
      tool.erase("outputSchema");
      tool.erase("title");
    }
    if (before("2025-03-26")) tool.erase("annotations");
  }
  return {{"tools", tools}};
}

std::variant<JsonValue, RpcError> Server::call(const Message& message) {
  const JsonValue& name = member(message.params, "name");
  if (!name.is_string()) {
    return RpcError{kInvalidParams, "invalid params: name must be the tool's name, a string", message.id};
  }
  const JsonValue* tool = find_tool(name.get<std::string>());
  if (tool == nullptr) {
    return RpcError{kInvalidParams, "unknown tool: " + name.get<std::string>() +
                                        " (tools/list gives the tools there are)", message.id};
  }
  const JsonValue arguments =
      message.params.contains("arguments") ? member(message.params, "arguments") : JsonValue::object();
  if (auto problem = check_arguments(arguments, (*tool)["inputSchema"])) {
    return RpcError{kInvalidParams, "invalid arguments for " + name.get<std::string>() + ": " + *problem,
                    message.id};
  }
  CallContext context{port_, {}};
  const JsonValue& token = member(member(message.params, "_meta"), "progressToken");
  if (token.is_string() || token.is_number_integer()) {
    context.progress = [this, token](double done, double total, const std::string& text) {
      send_(notification_line("notifications/progress",
                              {{"progressToken", token}, {"progress", done}, {"total", total},
                               {"message", text}}));
    };
  }
  const auto started = std::chrono::steady_clock::now();
  JsonValue result = call_tool(name.get<std::string>(), arguments, context);
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - started);
  log_("tools/call " + name.get<std::string>() + ": " +
       (is_true(member(result, "isError")) ? "failed: " + text_or(result["content"][0]["text"], "")
                                           : "done") +
       " in " + std::to_string(took.count()) + " ms");
  return for_client(std::move(result));
}

JsonValue Server::for_client(JsonValue result) const {
  if (!before("2025-06-18")) return result;
  // Earlier revisions have neither structured results nor resource links: the structured facts
  // are already in the text, and a link becomes a line of text.
  result.erase("structuredContent");
  for (JsonValue& block : result["content"]) {
    if (text_or(block["type"], "") == "resource_link") {
      block = {{"type", "text"},
               {"text", "File: " + text_or(block["uri"], "") + " (" + text_or(block["mimeType"], "") + ")"}};
    }
  }
  return result;
}

}  // namespace mcp
