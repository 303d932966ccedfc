#include "mcp/line_reader.h"

namespace mcp {

void LineReader::add_line(std::string line) {
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.find_first_not_of(" \t") == std::string::npos) return;
  ready_.push_back(InputLine{std::move(line), false});
}

void LineReader::feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (skipping_) {
      if (end == std::string_view::npos) return;
      skipping_ = false;
    } else if (partial_.size() + piece.size() > max_line_) {
      partial_.clear();
      partial_.shrink_to_fit();
      ready_.push_back(InputLine{{}, true});
      skipping_ = end == std::string_view::npos;
      if (skipping_) return;
    } else {
      partial_.append(piece);
      if (end == std::string_view::npos) return;
      add_line(std::move(partial_));
      partial_.clear();
    }
    bytes.remove_prefix(end + 1);
  }
}

void LineReader::finish() {
  if (!skipping_ && !partial_.empty()) add_line(std::move(partial_));
  partial_.clear();
  skipping_ = false;
}

std::optional<InputLine> LineReader::next() {
  if (ready_.empty()) return std::nullopt;
  InputLine line = std::move(ready_.front());
  ready_.pop_front();
  return line;
}

}  // namespace mcp
