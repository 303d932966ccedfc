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

// `text` with every byte a terminal would act on written as \xHH: the C0 controls (ESC, CR, LF,
// ...), DEL and the C1 controls (U+0080..U+009F, or such a byte alone). Printable text, UTF-8
// letters included, is kept as it is. Every text from outside the service (a request, a camera,
// a file) passes through this before it enters a message.
std::string escape_controls(std::string_view text);

// The same, with each control replaced by `with`: for log lines, which show what came, not how.
std::string replace_controls(std::string_view text, char with);

// Shortens text taken from outside for use inside a message: at most `limit` bytes of it, then
// "…", with its control characters escaped (see escape_controls). Never splits a UTF-8 sequence.
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
