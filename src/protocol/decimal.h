// Decimal numbers in texts: ports, status codes, option values, query values.
#pragma once

#include <charconv>
#include <concepts>
#include <optional>
#include <string_view>
#include <system_error>

enum class LeadingPlus { kRefused, kAllowed };

// `text` as a number of type T: ASCII digits, at least one, leading zeros allowed; before them one
// "+" when `plus` allows it, or one "-" when T is signed. Nothing else, and nothing out of T's
// range: every other text gives nothing.
template <std::integral T>
std::optional<T> parse_decimal(std::string_view text, LeadingPlus plus) {
  if (plus == LeadingPlus::kAllowed && text.starts_with('+')) {
    text.remove_prefix(1);
    if (text.starts_with('-')) return std::nullopt;  // one sign at most
  }
  // from_chars takes a "-" for signed types only, and neither a "+" nor white space.
  T value{};
  const char* end = text.data() + text.size();
  const auto [stop, error] = std::from_chars(text.data(), end, value);
  if (error != std::errc() || stop != end) return std::nullopt;
  return value;
}
