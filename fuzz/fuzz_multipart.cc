// The first part of a multipart/x-mixed-replace stream: the first input byte chooses how the
// stream is cut into pieces, the bytes up to the first newline are the Content-Type, the rest is
// the stream. Whatever the cut, the reader finds the same part; a part it finds is a run of bytes
// of the stream; it holds no more than the stream it was given.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "app/net/multipart_part.h"

namespace {

struct Outcome {
  bool complete = false;
  std::string body;
  std::string type;
};

Outcome read_in_pieces(std::string_view content_type, std::string_view stream, std::size_t piece) {
  app::net::FirstPartReader reader(content_type);
  for (std::size_t at = 0; at < stream.size(); at += piece) {
    const std::string_view chunk = stream.substr(at, piece);
    if (reader.add(chunk)) break;
    if (reader.held() > stream.size()) std::abort();
  }
  Outcome outcome;
  outcome.complete = reader.complete() || reader.finish();
  if (outcome.complete) {
    outcome.body = reader.body();
    outcome.type = reader.content_type();
  }
  return outcome;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t piece = 1 + data[0] % 17;
  const std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
  const std::size_t newline = input.find('\n');
  if (newline == std::string_view::npos) return 0;
  const std::string_view content_type = input.substr(0, newline);
  const std::string_view stream = input.substr(newline + 1);

  const Outcome whole = read_in_pieces(content_type, stream, stream.size() + 1);
  const Outcome cut = read_in_pieces(content_type, stream, piece);
  if (whole.complete != cut.complete || whole.body != cut.body || whole.type != cut.type) {
    std::abort();
  }
  if (whole.complete && stream.find(whole.body) == std::string_view::npos) std::abort();
  return 0;
}
