// Reading an answer from arbitrary bytes, delivered in arbitrary pieces, with an optional
// receive failure part-way. The read must end in a response or one of the known errors. A
// response's body is exactly the bytes after a header block of at most 64 KiB, and never shorter
// than the answer's own Content-Length; no byte at all is no answer.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "app_client/http_exchange.h"

namespace {

class PieceSource : public ByteSource {
 public:
  PieceSource(std::string_view data, std::size_t step, std::size_t fail_at)
      : data_(data), step_(step), fail_at_(fail_at) {}
  std::variant<std::size_t, std::string> read(char* buffer, std::size_t capacity) override {
    if (at_ >= fail_at_) return std::string("Connection reset by peer (os error 104)");
    std::size_t n = std::min(std::min(capacity, step_), data_.size() - at_);
    std::memcpy(buffer, data_.data() + at_, n);
    at_ += n;
    return n;
  }

 private:
  std::string_view data_;
  std::size_t step_;
  std::size_t fail_at_;
  std::size_t at_ = 0;
};

// The answer's own Content-Length when its value is a number that fits, read plainly.
std::optional<std::uint64_t> declared_length(const HttpResponse& response) {
  const std::optional<std::string> value = header_value(response, "content-length");
  if (!value || value->empty() || value->size() > 19) return std::nullopt;
  std::uint64_t n = 0;
  for (char c : *value) {
    if (c < '0' || c > '9') return std::nullopt;
    n = n * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // First byte: the piece size; second: where a receive fails (255: never).
  const std::size_t step = static_cast<std::size_t>(data[0]) * 37 + 1;
  const std::string_view bytes(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::size_t fail_at =
      data[1] == 255 ? bytes.size() + 1 : bytes.size() * data[1] / 255;
  PieceSource source(bytes, step, fail_at);
  ExchangeResult result = read_response(source);
  if (auto* response = std::get_if<HttpResponse>(&result)) {
    const std::string body = response->body.to_string();
    if (body.size() > bytes.size() || bytes.substr(bytes.size() - body.size()) != body) {
      std::abort();  // the body must be the tail of the stream
    }
    if (bytes.empty()) std::abort();  // no byte at all is no answer
    // Whatever stood before the body was the head, and it is bounded.
    if (!body.empty() && bytes.size() - body.size() > 64 * 1024) std::abort();
    // An answer is never shorter than it said it would be.
    const std::optional<std::uint64_t> declared = declared_length(*response);
    if (declared && body.size() < *declared) std::abort();
    return 0;
  }
  const std::string& message = std::get<ExchangeError>(result).message;
  if (message == "no answer: the connection was closed before any byte arrived") {
    if (!bytes.empty()) std::abort();
  } else if (message == "the answer's header block is larger than 64 KiB") {
    if (bytes.size() <= 64 * 1024) std::abort();
  } else if (message.starts_with("the answer was cut short: ")) {
    // "{N} of {M} body bytes": N bytes of the stream's tail arrived, fewer than M.
    unsigned long long got = 0;
    char of[3] = {};
    if (std::sscanf(message.c_str(), "the answer was cut short: %llu %2s", &got, of) != 2 ||
        std::string_view(of) != "of" || got > bytes.size() || !message.ends_with(" body bytes")) {
      std::abort();
    }
  } else if (message != "stream did not contain valid UTF-8" &&
             message != "Connection reset by peer (os error 104)") {
    std::abort();  // an error nobody listed
  }
  return 0;
}
