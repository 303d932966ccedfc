// One HTTP/1.1 request over a fresh TCP connection, and its answer.
//
// The request says "Connection: close"; the answer ends when the peer closes. The answer's header
// lines are kept for the caller; the only one that counts is Content-Length, and only to tell an
// answer cut off in the middle (a longer body is still taken whole; no chunked coding). Every
// failure comes back as an ExchangeError holding one line of text; nothing is printed and nothing
// is retried.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "app_client/body.h"

// One header line of an answer: the name as sent, and the value without the white space around it.
struct HttpHeader {
  std::string name;
  std::string value;
};

struct HttpResponse {
  // The code from the status line; 0 when the line carries no usable code.
  std::uint16_t status = 0;
  // The header lines in the order received; a line with no "name:" in front is left out.
  std::vector<HttpHeader> headers;
  // Every byte after the header block, to the end of the stream.
  Body body;
};

// The value of the first header called `name`, compared without regard to ASCII case.
std::optional<std::string> header_value(const HttpResponse& response, std::string_view name);

struct ExchangeError {
  enum class Kind {
    // The service could not be reached, or its answer could not be read.
    kUnreachable,
    // The answer was arriving but memory ran out while holding it: the service was reached.
    kOutOfMemory,
  };
  std::string message;
  Kind kind = Kind::kUnreachable;
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

// Reads a status line, skips the header block and takes the rest as the body. Fails when the
// stream ends before its first byte, when the header block exceeds 64 KiB, when the body is
// shorter than the answer's own Content-Length, and when memory runs out while holding it.
ExchangeResult read_response(ByteSource& source);

// The request head, byte for byte. Bytes of `path` that would break the request line (0x00-0x20
// and 0x7F) are percent-encoded; every other byte goes out as it is.
std::string request_head(std::string_view method, std::string_view path,
                         std::string_view authority, std::size_t body_length);
