// Small text helpers: reading numbers from requests, building the messages the service sends
// back.
#pragma once

#include <algorithm>
#include <concepts>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/decimal.h"

namespace app {

// Shortens text taken from a request for use inside a message: at most `limit` bytes, then "…".
// Never splits a UTF-8 sequence.
std::string clip_for_message(std::string_view text, std::size_t limit = 80);

// The value of `text` when it is ASCII digits only (no sign, no spaces, not empty) and fits in
// T; else nothing. How the service reads numbers from requests, options and node names.
template <std::integral T>
std::optional<T> parse_digits(std::string_view text) {
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return std::nullopt;
  }
  return parse_decimal<T>(text, LeadingPlus::kRefused);
}

}  // namespace app
