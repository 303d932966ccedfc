// Small text helpers: reading numbers from requests, building the messages the service sends
// back.
#pragma once

#include <algorithm>
#include <charconv>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace app {

// Shortens text taken from a request for use inside a message: at most `limit` bytes, then "…".
// Never splits a UTF-8 sequence.
std::string clip_for_message(std::string_view text, std::size_t limit = 80);

// The value of `text` when it is ASCII digits only (no sign, no spaces, not empty) and fits in
// T; else nothing. The one decimal reader for numbers in requests, options and node names.
template <class T>
std::optional<T> parse_decimal(std::string_view text) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  T value{};
  const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || stop != text.data() + text.size()) return std::nullopt;
  return value;
}

}  // namespace app
