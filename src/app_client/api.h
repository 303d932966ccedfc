// Requests to the capture service and the reading of its answers.
//
// Every request goes to the API base on the IPv4 loopback address, on the port the caller names.
// Nothing here prints, ends the process or reads the command line or the environment: a request
// that cannot be completed comes back as an ExchangeError, and a refusal (status 400 or more) as
// an answer for the caller to judge, through refusal_of().
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "app_client/http_exchange.h"
#include "protocol/json.h"

inline constexpr std::string_view kRefusedFallback = "the app rejected the request";

// "http://127.0.0.1:{port}/api", the port text inserted as it is.
std::string api_base(std::string_view port);

// GET of api_base(port) followed by `path`; any status comes back unchecked.
ExchangeResult api_get(std::string_view port, std::string_view path);
// POST of `body` as compact JSON; any status comes back unchecked.
ExchangeResult api_post(std::string_view port, std::string_view path, const JsonValue& body);

// Exactly one JSON document, else null. Never fails.
JsonValue parse_json_body(const Body& body);

// The string member "error" of an object, else `fallback`.
std::string app_error_text(const JsonValue& document, std::string_view fallback);

// The service said no: a status of 400 or more, with its own text or the caller's fallback.
struct Refusal {
  std::uint16_t status = 0;
  std::string message;
};
// The refusal an answer carries, or nothing when its status is 399 or less (0 included).
std::optional<Refusal> refusal_of(const HttpResponse& response, std::string_view fallback);
