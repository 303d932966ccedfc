// The capture service as the command line reaches it.
//
// The port comes from --port, else TIRVANE_PORT, else the default, worked out afresh for every
// request. A request that cannot be completed ends the run with the three-line "cannot reach"
// report, and an answer too large for memory with a report saying so; a refused JSON request ends
// it with the service's own text.
#pragma once

#include <string>
#include <string_view>

#include "app_client/api.h"
#include "protocol/json.h"

// The port text as given, unchecked: a bad one surfaces as the "cannot reach" report.
std::string port_text();

// GET and POST under the API base; any status comes back for the caller to judge.
HttpResponse get_or_fail(std::string_view path);
HttpResponse post_or_fail(std::string_view path, const JsonValue& body);

// The parsed body (null when it is not JSON); a status of 400 or more ends the run with the
// service's "error" text, else kRefusedFallback.
JsonValue read_json(const HttpResponse& response);

// Ends the run with the "cannot reach" report, naming the API base on `port` and the reason.
[[noreturn]] void fail_unreachable(std::string_view port, const ExchangeError& error);
