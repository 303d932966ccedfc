#include "app/net/multipart_part.h"

#include <algorithm>
#include <charconv>

namespace app::net {
namespace {

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

std::string lowered(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), lower);
  return out;
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

std::string multipart_boundary(std::string_view content_type) {
  const std::string lower_type = lowered(content_type);
  std::size_t at = 0;
  while ((at = lower_type.find("boundary", at)) != std::string::npos) {
    const std::size_t before = lower_type.find_last_not_of(" \t", at == 0 ? 0 : at - 1);
    std::size_t after = lower_type.find_first_not_of(" \t", at + 8);
    const bool parameter = at > 0 && before != std::string::npos && lower_type[before] == ';';
    at += 8;
    if (!parameter || after == std::string::npos || lower_type[after] != '=') continue;
    std::string_view value = content_type.substr(after + 1);
    value = trimmed(value);
    if (!value.empty() && value.front() == '"') {
      value.remove_prefix(1);
      value = value.substr(0, value.find('"'));
    } else {
      value = trimmed(value.substr(0, value.find(';')));
    }
    if (value.starts_with("--")) value.remove_prefix(2);
    return std::string(value);
  }
  return {};
}

FirstPartReader::FirstPartReader(std::string_view content_type) {
  const std::string boundary = multipart_boundary(content_type);
  if (!boundary.empty()) delimiter_ = "--" + boundary;
}

bool FirstPartReader::add(std::string_view bytes) {
  if (complete_) return true;
  buffer_.append(bytes);
  return advance();
}

bool FirstPartReader::advance() {
  for (;;) {
    const Stage before = stage_;
    switch (stage_) {
      case Stage::kBoundary:
        if (!find_boundary()) return false;
        break;
      case Stage::kHeaders:
        if (!read_headers()) return false;
        break;
      case Stage::kBody:
        return read_body();
    }
    if (stage_ == before) return false;
  }
}

bool FirstPartReader::find_boundary() {
  if (delimiter_.empty()) {
    // No boundary declared: the first line that starts with "--" names it.
    std::size_t line = 0;
    for (;;) {
      const std::size_t end = buffer_.find('\n', line);
      if (end == std::string::npos) return false;
      if (buffer_.compare(line, 2, "--") == 0) {
        delimiter_ = std::string(trimmed(std::string_view(buffer_).substr(line, end - line)));
        headers_start_ = end + 1;
        stage_ = Stage::kHeaders;
        return true;
      }
      line = end + 1;
    }
  }
  const std::size_t at = buffer_.find(delimiter_, search_from_);
  if (at == std::string::npos) {
    search_from_ = buffer_.size() > delimiter_.size() ? buffer_.size() - delimiter_.size() : 0;
    return false;
  }
  const std::size_t end = buffer_.find('\n', at + delimiter_.size());
  if (end == std::string::npos) {
    search_from_ = at;
    return false;
  }
  headers_start_ = end + 1;
  stage_ = Stage::kHeaders;
  return true;
}

bool FirstPartReader::read_headers() {
  std::size_t body = std::string::npos;
  // A part that starts with the picture itself has no header block.
  if (buffer_.size() > headers_start_ && static_cast<unsigned char>(buffer_[headers_start_]) == 0xFF) {
    body = headers_start_;
  } else {
    std::size_t line = headers_start_;
    for (;;) {
      const std::size_t end = buffer_.find('\n', line);
      if (end == std::string::npos) return false;
      const std::string_view text = trimmed(std::string_view(buffer_).substr(line, end - line));
      line = end + 1;
      if (text.empty()) {
        body = line;
        break;
      }
      const std::size_t colon = text.find(':');
      if (colon == std::string_view::npos) continue;
      const std::string name = lowered(trimmed(text.substr(0, colon)));
      const std::string_view value = trimmed(text.substr(colon + 1));
      if (name == "content-type") part_type_ = std::string(value);
      if (name == "content-length") {
        std::size_t length = 0;
        auto [end_of_number, error] =
            std::from_chars(value.data(), value.data() + value.size(), length);
        if (error == std::errc() && end_of_number == value.data() + value.size()) {
          length_ = length;
          has_length_ = true;
        }
      }
    }
  }
  body_start_ = body;
  search_from_ = body;
  stage_ = Stage::kBody;
  return true;
}

bool FirstPartReader::read_body() {
  if (has_length_) {
    if (buffer_.size() - body_start_ < length_) return false;
    take_body(body_start_ + length_);
    return true;
  }
  const std::size_t at = buffer_.find(delimiter_, search_from_);
  if (at == std::string::npos) {
    search_from_ = std::max(body_start_, buffer_.size() > delimiter_.size()
                                             ? buffer_.size() - delimiter_.size()
                                             : std::size_t{0});
    return false;
  }
  std::size_t end = at;
  // A boundary parameter given with its dashes may still be written with two more on the line.
  if (end >= body_start_ + 2 && buffer_.compare(end - 2, 2, "--") == 0) end -= 2;
  if (end > body_start_ && buffer_[end - 1] == '\n') --end;
  if (end > body_start_ && buffer_[end - 1] == '\r') --end;
  take_body(end);
  return true;
}

void FirstPartReader::take_body(std::size_t end) {
  body_ = buffer_.substr(body_start_, end - body_start_);
  complete_ = true;
  buffer_.clear();
  buffer_.shrink_to_fit();
}

bool FirstPartReader::finish() {
  if (complete_) return true;
  if (stage_ != Stage::kBody || has_length_ || buffer_.size() <= body_start_) return false;
  std::size_t end = buffer_.size();
  while (end > body_start_ && (buffer_[end - 1] == '\n' || buffer_[end - 1] == '\r')) --end;
  take_body(end);
  return true;
}

}  // namespace app::net
