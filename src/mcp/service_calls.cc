#include "mcp/service_calls.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "app_client/http_exchange.h"
#include "platform/platform.h"

namespace mcp {
namespace {

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// TEMPORARY until the client library keeps answer headers: one exchange on a fresh connection.
ServiceResult exchange(const std::string& port, std::string_view method, std::string_view path,
                       std::optional<std::string> body) {
  unsigned number = 0;
  auto [end, error] = std::from_chars(port.data(), port.data() + port.size(), number);
  if (error != std::errc() || end != port.data() + port.size() || number == 0 || number > 65535) {
    return ServiceDown{"the port \"" + port + "\" is not a number from 1 to 65535"};
  }
  auto address = platform::literal_address("127.0.0.1", static_cast<std::uint16_t>(number));
  auto connected = platform::TcpStream::connect(*address);
  if (auto* failure = std::get_if<platform::OsError>(&connected)) {
    return ServiceDown{"cannot connect to 127.0.0.1:" + port + ": " + platform::describe(*failure)};
  }
  platform::TcpStream& stream = std::get<platform::TcpStream>(connected);
  stream.set_receive_timeout(kReceiveTimeoutMs);
  std::string request = request_head(method, "/api" + std::string(path), "127.0.0.1:" + port,
                                     body ? body->size() : 0);
  if (body) request += *body;
  std::string_view rest = request;
  while (!rest.empty()) {
    auto sent = stream.send_some(rest);
    if (auto* failure = std::get_if<platform::OsError>(&sent)) {
      return ServiceDown{"cannot send to 127.0.0.1:" + port + ": " + platform::describe(*failure)};
    }
    rest.remove_prefix(std::get<std::size_t>(sent));
  }
  std::string received;
  char buffer[65536];
  for (;;) {
    auto got = stream.receive_some(buffer, sizeof buffer);
    if (auto* failure = std::get_if<platform::OsError>(&got)) {
      return ServiceDown{"cannot read from 127.0.0.1:" + port + ": " + platform::describe(*failure)};
    }
    const std::size_t count = std::get<std::size_t>(got);
    if (count == 0) break;
    received.append(buffer, count);
  }
  const std::size_t head_end = received.find("\r\n\r\n");
  if (head_end == std::string::npos || !received.starts_with("HTTP/1.")) {
    return ServiceDown{"the answer from 127.0.0.1:" + port + " is not HTTP"};
  }
  ServiceAnswer answer;
  answer.body = received.substr(head_end + 4);
  std::string_view head(received.data(), head_end);
  const std::size_t first_end = head.find("\r\n");
  std::string_view status_line = head.substr(0, first_end);
  if (status_line.size() >= 12) {
    std::from_chars(status_line.data() + 9, status_line.data() + 12, answer.status);
  }
  head = first_end == std::string_view::npos ? std::string_view() : head.substr(first_end + 2);
  while (!head.empty()) {
    const std::size_t line_end = head.find("\r\n");
    std::string_view line = head.substr(0, line_end);
    head = line_end == std::string_view::npos ? std::string_view() : head.substr(line_end + 2);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    std::string_view value = line.substr(colon + 1);
    while (!value.empty() && value.front() == ' ') value.remove_prefix(1);
    answer.headers.emplace_back(std::string(line.substr(0, colon)), std::string(value));
  }
  return answer;
}

}  // namespace

std::optional<std::string> header_of(const ServiceAnswer& answer, std::string_view name) {
  for (const auto& [key, value] : answer.headers) {
    if (same_name(key, name)) return value;
  }
  return std::nullopt;
}

ServiceResult service_get(const std::string& port, std::string_view path) {
  return exchange(port, "GET", path, std::nullopt);
}

ServiceResult service_post(const std::string& port, std::string_view path, const JsonValue& body) {
  return exchange(port, "POST", path, json_text(body));
}

}  // namespace mcp
