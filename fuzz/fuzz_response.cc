// Reading an answer from arbitrary bytes, delivered in arbitrary pieces, with an optional
// receive failure part-way. The read must end in a response or an error, and a response's body
// must be exactly the bytes after the header block.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdlib>
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
  } else if (std::get<ExchangeError>(result).message.empty()) {
    std::abort();
  }
  return 0;
}
