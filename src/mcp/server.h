// The MCP session over one pair of streams: initialize and the version negotiation, ping,
// tools/list and tools/call, each line answered in order. Nothing here touches the streams
// itself: lines come in through handle() and go out through `send`, which may be called from
// another thread while a call runs (progress), so it must be safe for that.
#pragma once

#include <functional>
#include <string>

#include "mcp/json_rpc.h"
#include "mcp/line_reader.h"

namespace mcp {

// The revision this server is written to, and every one it answers in.
inline constexpr std::string_view kProtocolVersion = "2025-06-18";
inline constexpr std::string_view kLatestProtocolVersion = "2025-11-25";

class Server {
 public:
  using Send = std::function<void(const std::string& line)>;
  using Log = std::function<void(const std::string& line)>;

  Server(std::string port, Send send, Log log);

  void handle(const InputLine& line);

  // The revision agreed at initialize (this server's own until then).
  const std::string& protocol_version() const { return version_; }

 private:
  JsonValue initialize(const JsonValue& params);
  JsonValue list_tools() const;
  std::variant<JsonValue, RpcError> call(const Message& message);
  // A result for a client of an earlier revision: nothing it does not know.
  JsonValue for_client(JsonValue result) const;
  bool before(std::string_view revision) const { return version_ < revision; }

  std::string port_;
  Send send_;
  Log log_;
  std::string version_{kProtocolVersion};
};

}  // namespace mcp
