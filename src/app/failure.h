// Why an operation of the service did not succeed: a kind, which code may branch on, and a text a
// person understands. Every operation that can fail returns Result<T>, a value or a Failure.
//
// Kinds say what went wrong, not how to answer it: http_status() is the one place that turns a
// kind into the status of an HTTP answer. Code never branches on the status.
#pragma once

#include <string>
#include <utility>
#include <variant>

namespace app {

enum class FailureKind {
  kBadRequest,        // the request itself is wrong: a bad value, size, name
  kForbidden,         // refused: no permission, or a caller the service does not serve
  kNotFound,          // no such device, endpoint, source; a device that went away
  kMethodNotAllowed,  // the endpoint exists but takes another method
  kBusy,              // the device or the recorder is in use; try again later
  kConflict,          // the request does not fit what the device is (a fixed-focus lens)
  kLengthRequired,    // a body without a usable length
  kTooLarge,          // a body larger than the service takes
  kUnsupportedMedia,  // a body of a type the service does not read
  kInternal,          // the service itself failed (no memory, no temporary file)
  kDeviceFailed,      // the device or the upstream camera failed or sent nonsense
  kUnavailable,       // the device cannot be had now (no display, no recorder in this build)
  kTimedOut,          // the device sent nothing in time
};

// The HTTP status that answers a failure of this kind.
constexpr int http_status(FailureKind kind) {
  switch (kind) {
    case FailureKind::kBadRequest:
      return 400;
    case FailureKind::kForbidden:
      return 403;
    case FailureKind::kNotFound:
      return 404;
    case FailureKind::kMethodNotAllowed:
      return 405;
    case FailureKind::kBusy:
      return 409;
    case FailureKind::kConflict:
      return 409;
    case FailureKind::kLengthRequired:
      return 411;
    case FailureKind::kTooLarge:
      return 413;
    case FailureKind::kUnsupportedMedia:
      return 415;
    case FailureKind::kInternal:
      return 500;
    case FailureKind::kDeviceFailed:
      return 502;
    case FailureKind::kUnavailable:
      return 503;
    case FailureKind::kTimedOut:
      return 504;
  }
  return 500;
}

struct Failure {
  Failure(FailureKind failure_kind, std::string text)
      : kind(failure_kind), status(http_status(failure_kind)), message(std::move(text)) {}

  FailureKind kind;
  // http_status(kind), kept beside it for the HTTP layer and for reading in tests and logs.
  // Set by the constructor only; branch on `kind`.
  int status;
  std::string message;
};

template <class T>
using Result = std::variant<T, Failure>;

template <class T>
bool failed(const Result<T>& result) {
  return std::holds_alternative<Failure>(result);
}

}  // namespace app
