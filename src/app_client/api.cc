#include "app_client/api.h"

#include "app_client/utf8.h"
#include "cli/fail.h"
#include "cli/options.h"
#include "platform/platform.h"

namespace {

std::string port_text() {
  if (auto port = option_value("port")) return *port;
  if (auto port = platform::environment_variable("TIRVANE_PORT"); port && utf8::is_valid(*port)) {
    return *port;
  }
  return std::string(kDefaultPort);
}

HttpResponse exchange_or_fail(std::string_view method, std::string_view path,
                              std::optional<std::string_view> body) {
  ExchangeResult result = http_exchange(method, api_base() + std::string(path), body);
  if (auto* error = std::get_if<ExchangeError>(&result)) fail_unreachable(*error);
  return std::get<HttpResponse>(std::move(result));
}

}  // namespace

std::string api_base() { return "http://127.0.0.1:" + port_text() + "/api"; }

HttpResponse api_get(std::string_view path) { return exchange_or_fail("GET", path, std::nullopt); }

HttpResponse api_post(std::string_view path, const JsonValue& body) {
  const std::string text = json_text(body);
  return exchange_or_fail("POST", path, text);
}

JsonValue parse_json_body(const Body& body) {
  return parse_json_document(body.to_string()).value_or(JsonValue());
}

JsonValue read_json(const HttpResponse& response) {
  JsonValue document = parse_json_body(response.body);
  if (response.status > 399) fail(app_error_text(document, kRefusedFallback));
  return document;
}

std::string app_error_text(const JsonValue& document, std::string_view fallback) {
  return text_or(member(document, "error"), fallback);
}

void fail_unreachable(const ExchangeError& error) {
  fail("cannot reach Tirvane at " + api_base() + " (" + error.message +
       ")\n"
       "  Is the app running? Start it from your applications menu, or: tirvane-app &\n"
       "  Different port?     tirvane --port=7999 \xE2\x80\xA6  or set TIRVANE_PORT");
}
