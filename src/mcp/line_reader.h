// Splits the byte stream on standard input into lines, one JSON-RPC message a line. A line may
// be at most a set number of bytes: one longer is reported as soon as it passes the limit (so a
// sender that never ends its line still gets an answer), its bytes are dropped rather than held,
// and reading takes up again after its line break.
#pragma once

#include <cstddef>
#include <deque>
#include <optional>
#include <string>
#include <string_view>

namespace mcp {

// Far above any real request (tool arguments are a few hundred bytes), far below memory trouble.
inline constexpr std::size_t kMaxLineBytes = 1024 * 1024;

struct InputLine {
  std::string text;       // without the line break (and a CR before it)
  bool too_long = false;  // the line passed the limit; `text` is empty
};

class LineReader {
 public:
  explicit LineReader(std::size_t max_line = kMaxLineBytes) : max_line_(max_line) {}

  void feed(std::string_view bytes);
  // The input has ended: a last line without a line break still counts.
  void finish();
  // The next line or too-long report, or nothing until more bytes come. Empty lines are skipped.
  std::optional<InputLine> next();

 private:
  void add_line(std::string line);

  std::size_t max_line_;
  std::string partial_;
  bool skipping_ = false;  // inside a line already reported as too long
  std::deque<InputLine> ready_;
};

}  // namespace mcp
