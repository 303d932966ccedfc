#include "mcp/service_calls.h"

#include <algorithm>
#include <cctype>

#include "app_client/api.h"

namespace mcp {
namespace {

bool same_name(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

ServiceResult from_exchange(ExchangeResult result) {
  if (auto* error = std::get_if<ExchangeError>(&result)) return ServiceDown{error->message};
  const HttpResponse& response = std::get<HttpResponse>(result);
  ServiceAnswer answer;
  answer.status = response.status;
  for (const HttpHeader& header : response.headers) answer.headers.emplace_back(header.name, header.value);
  answer.body = response.body.to_string();
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
  return from_exchange(api_get(port, path));
}

ServiceResult service_post(const std::string& port, std::string_view path, const JsonValue& body) {
  return from_exchange(api_post(port, path, body));
}

}  // namespace mcp
