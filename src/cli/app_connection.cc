#include "cli/app_connection.h"

#include <variant>

#include "app_client/utf8.h"
#include "cli/fail.h"
#include "cli/options.h"
#include "platform/platform.h"
#include "protocol/app_contract.h"

namespace {

HttpResponse answer_or_fail(std::string_view port, ExchangeResult result) {
  if (auto* error = std::get_if<ExchangeError>(&result)) {
    // The service answered, so "cannot reach" and its hints would mislead.
    if (error->kind == ExchangeError::Kind::kOutOfMemory) fail(error->message);
    fail_unreachable(port, *error);
  }
  return std::get<HttpResponse>(std::move(result));
}

}  // namespace

std::string port_text() {
  if (auto port = option_value("port")) return *port;
  if (auto port = platform::environment_variable(contract::kPortVariable);
      port && utf8::is_valid(*port)) {
    return *port;
  }
  return std::to_string(contract::kDefaultPort);
}

HttpResponse get_or_fail(std::string_view path) {
  const std::string port = port_text();
  return answer_or_fail(port, api_get(port, path));
}

HttpResponse post_or_fail(std::string_view path, const JsonValue& body) {
  const std::string port = port_text();
  return answer_or_fail(port, api_post(port, path, body));
}

JsonValue read_json(const HttpResponse& response) {
  if (auto refusal = refusal_of(response, kRefusedFallback)) fail(refusal->message);
  return parse_json_body(response.body);
}

void fail_unreachable(std::string_view port, const ExchangeError& error) {
  fail("cannot reach Tirvane at " + api_base(port) + " (" + error.message +
       ")\n"
       "  Is the app running? Start it from your applications menu, or: tirvane-app &\n"
       "  Different port?     tirvane --port=7999 \xE2\x80\xA6  or set TIRVANE_PORT");
}
