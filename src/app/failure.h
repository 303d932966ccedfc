// A refusal of the service: the HTTP status to answer with and a text a person understands.
// Every operation that can fail returns Result<T>, a value or a Failure.
#pragma once

#include <string>
#include <variant>

namespace app {

struct Failure {
  int status = 500;  // 400 bad request, 404 unknown, 409 busy, 502 upstream, 503 unavailable, ...
  std::string message;
};

template <class T>
using Result = std::variant<T, Failure>;

template <class T>
bool failed(const Result<T>& result) {
  return std::holds_alternative<Failure>(result);
}

}  // namespace app
