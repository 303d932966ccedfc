// One HTTP/1.1 request over a fresh TCP connection, and its answer.
//
// The request says "Connection: close"; the answer ends when the peer closes. Of the answer only
// the status code and the body are kept; no header is interpreted. Every failure comes back as an
// ExchangeError holding one line of text; nothing is printed and nothing is retried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "app_client/body.h"

struct HttpResponse {
  // The code from the status line; 0 when the line carries no usable code.
  std::uint16_t status = 0;
  // Every byte after the header block, to the end of the stream.
  Body body;
};

struct ExchangeError {
  std::string message;
};

using ExchangeResult = std::variant<HttpResponse, ExchangeError>;

// Sends `method` to `url` ("http://host:port/path?query") with `body` (absent and empty alike)
// and reads the whole answer. Blocks until the peer closes, a failure occurs, or a receive waits
// longer than kReceiveTimeoutMs.
ExchangeResult http_exchange(std::string_view method, std::string_view url,
                             std::optional<std::string_view> body);

inline constexpr std::uint32_t kReceiveTimeoutMs = 300000;

// Where answer bytes come from: the connection, or a buffer in tests and fuzzing.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Up to `capacity` bytes; 0 at the end of the stream; or the failure's text.
  virtual std::variant<std::size_t, std::string> read(char* buffer, std::size_t capacity) = 0;
};

// Reads a status line, skips the header block and takes the rest as the body.
ExchangeResult read_response(ByteSource& source);

// The request head, byte for byte. Bytes of `path` that would break the request line (0x00-0x20
// and 0x7F) are percent-encoded; every other byte goes out as it is.
std::string request_head(std::string_view method, std::string_view path,
                         std::string_view authority, std::size_t body_length);
