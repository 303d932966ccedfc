// tirvane-mcp: the MCP server over standard input and output. Standard output carries protocol
// messages and nothing else; the log goes to standard error. The service's port comes from
// --port, else TIRVANE_PORT, else 7777. The server runs until its input ends; a service that is
// down only makes calls fail, never the server stop.
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "mcp/line_reader.h"
#include "mcp/server.h"
#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/standard_input.h"

namespace {

constexpr const char* kUsage =
    "usage: tirvane-mcp [--port PORT]\n"
    "An MCP server (stdio) that gives an agent the Tirvane service's cameras and screen.\n"
    "The service's port: --port, else TIRVANE_PORT, else 7777.\n";

bool is_port(const std::string& text) {
  if (text.empty() || text.size() > 5) return false;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
  }
  const int number = std::stoi(text);
  return number >= 1 && number <= 65535;
}

void log_line(const std::string& text) { platform::write_stderr("tirvane-mcp: " + text + "\n"); }

}  // namespace

int program_main(std::vector<std::string> arguments) {
  std::optional<std::string> port;
  for (std::size_t i = 1; i < arguments.size(); ++i) {
    const std::string& argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      platform::write_stderr(kUsage);
      return 0;
    }
    if (argument == "--port" && i + 1 < arguments.size()) {
      port = arguments[++i];
    } else if (argument.starts_with("--port=")) {
      port = argument.substr(7);
    } else {
      platform::write_stderr("tirvane-mcp: unknown argument \"" + argument + "\"\n" + kUsage);
      return 1;
    }
  }
  std::string source = "--port";
  if (!port) {
    port = platform::environment_variable("TIRVANE_PORT");
    source = "TIRVANE_PORT";
  }
  if (!port) {
    port = "7777";
    source = "the default";
  }
  if (!is_port(*port)) {
    platform::write_stderr("tirvane-mcp: the port from " + source + " must be a number from 1 to " +
                           "65535, not \"" + *port + "\"\n");
    return 1;
  }

  std::mutex output;
  mcp::Server server(
      *port,
      [&output](const std::string& line) {
        std::lock_guard lock(output);
        platform::write_stdout(line);
        if (auto failure = platform::flush_stdout()) {
          log_line("cannot write to standard output: " + platform::describe(*failure));
        }
      },
      log_line);
  log_line("serving MCP on standard input and output; the service is at 127.0.0.1:" + *port);

  mcp::LineReader reader;
  std::vector<char> buffer(64 * 1024);
  for (;;) {
    auto got = platform::read_stdin_some(buffer.data(), buffer.size());
    if (auto* failure = std::get_if<platform::OsError>(&got)) {
      log_line("cannot read standard input: " + platform::describe(*failure));
      return 1;
    }
    const std::size_t count = std::get<std::size_t>(got);
    if (count == 0) {
      reader.finish();
    } else {
      reader.feed(std::string_view(buffer.data(), count));
    }
    while (auto line = reader.next()) server.handle(*line);
    if (count == 0) break;
  }
  log_line("standard input ended; stopping");
  return 0;
}
