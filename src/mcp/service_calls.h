// The server's only road to the capture service: one GET or POST under its API base on
// 127.0.0.1, answered with status, headers and body, or the reason it could not be reached.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "mcp/json.h"

namespace mcp {

struct ServiceAnswer {
  int status = 0;
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
};

// The value of the first header called `name` (any case).
std::optional<std::string> header_of(const ServiceAnswer& answer, std::string_view name);

// The service could not be reached, or broke off: the transport's own account of it.
struct ServiceDown {
  std::string message;
};

using ServiceResult = std::variant<ServiceAnswer, ServiceDown>;

// `path` goes after "/api", with its query string.
ServiceResult service_get(const std::string& port, std::string_view path);
ServiceResult service_post(const std::string& port, std::string_view path, const JsonValue& body);

}  // namespace mcp
