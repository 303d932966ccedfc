#include "app_client/api.h"

#include "protocol/app_contract.h"

std::string api_base(std::string_view port) {
  std::string base = "http://127.0.0.1:";
  base.append(port).append(contract::kApiPrefix);
  return base;
}

ExchangeResult api_get(std::string_view port, std::string_view path) {
  return http_exchange("GET", api_base(port).append(path), std::nullopt);
}

ExchangeResult api_post(std::string_view port, std::string_view path, const JsonValue& body) {
  const std::string text = json_text(body);
  return http_exchange("POST", api_base(port).append(path), text);
}

JsonValue parse_json_body(const Body& body) {
  return parse_json_document(body.to_string()).value_or(JsonValue());
}

std::string app_error_text(const JsonValue& document, std::string_view fallback) {
  return text_or(member(document, contract::key::kError), fallback);
}

std::optional<Refusal> refusal_of(const HttpResponse& response, std::string_view fallback) {
  if (response.status < 400) return std::nullopt;
  return Refusal{response.status, app_error_text(parse_json_body(response.body), fallback)};
}
