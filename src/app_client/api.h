// Requests to the capture service and the reading of its answers.
//
// Every request goes to the API base on the IPv4 loopback address, on the port from --port,
// else TIRVANE_PORT, else 7777, worked out afresh each time. A request that cannot be completed
// ends the program with the "cannot reach" report; a refusal (status 400 or more) is left to the
// caller, through read_json or its own check.
#pragma once

#include <string>
#include <string_view>

#include "app_client/http_exchange.h"
#include "app_client/json.h"

inline constexpr std::string_view kDefaultPort = "7777";
inline constexpr std::string_view kRefusedFallback = "the app rejected the request";

// "http://127.0.0.1:{port}/api", the port text inserted as it is.
std::string api_base();

// GET of api_base() followed by `path`; any status comes back unchecked.
HttpResponse api_get(std::string_view path);
// POST of `body` as compact JSON; any status comes back unchecked.
HttpResponse api_post(std::string_view path, const JsonValue& body);

// Exactly one JSON document, else null. Never fails.
JsonValue parse_json_body(const Body& body);

// The parsed body; a status of 400 or more ends the program with the service's own error text.
JsonValue read_json(const HttpResponse& response);

// The string member "error" of an object, else `fallback`.
std::string app_error_text(const JsonValue& document, std::string_view fallback);

// Ends the program with the three-line "cannot reach" report.
[[noreturn]] void fail_unreachable(const ExchangeError& error);
