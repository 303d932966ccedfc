#include "app_client/utf8.h"

#include <cstdint>

namespace utf8 {
namespace {

// Decodes the scalar value at `text[at]` of well-formed text and moves `at` past it.
char32_t decode(std::string_view text, std::size_t& at) {
  const auto lead = static_cast<unsigned char>(text[at]);
  std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
  char32_t value = length == 1 ? lead : length == 2 ? lead & 0x1Fu : length == 3 ? lead & 0x0Fu
                                                                                  : lead & 0x07u;
  for (std::size_t i = 1; i < length; ++i) {
    value = (value << 6) | (static_cast<unsigned char>(text[at + i]) & 0x3Fu);
  }
  at += length;
  return value;
}

}  // namespace

bool is_valid(std::string_view text) {
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    const auto b0 = static_cast<unsigned char>(text[i]);
    if (b0 < 0x80) {
      ++i;
      continue;
    }
    auto continuation = [&](std::size_t k, unsigned char low = 0x80, unsigned char high = 0xBF) {
      if (i + k >= n) return false;
      const auto b = static_cast<unsigned char>(text[i + k]);
      return b >= low && b <= high;
    };
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      if (!continuation(1)) return false;
      i += 2;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      // E0 excludes overlong forms, ED excludes the surrogates.
      const unsigned char low = b0 == 0xE0 ? 0xA0 : 0x80;
      const unsigned char high = b0 == 0xED ? 0x9F : 0xBF;
      if (!continuation(1, low, high) || !continuation(2)) return false;
      i += 3;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      // F0 excludes overlong forms, F4 stops at U+10FFFF.
      const unsigned char low = b0 == 0xF0 ? 0x90 : 0x80;
      const unsigned char high = b0 == 0xF4 ? 0x8F : 0xBF;
      if (!continuation(1, low, high) || !continuation(2) || !continuation(3)) return false;
      i += 4;
    } else {
      return false;
    }
  }
  return true;
}

std::size_t scalar_count(std::string_view text) {
  std::size_t count = 0;
  for (char c : text) {
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++count;
  }
  return count;
}

bool is_white_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
         c == 0x205F || c == 0x3000;
}

std::vector<std::string_view> split_white_space(std::string_view text) {
  std::vector<std::string_view> tokens;
  std::size_t at = 0;
  std::size_t token_start = 0;
  bool in_token = false;
  while (at < text.size()) {
    const std::size_t here = at;
    const bool space = is_white_space(decode(text, at));
    if (space && in_token) {
      tokens.push_back(text.substr(token_start, here - token_start));
      in_token = false;
    } else if (!space && !in_token) {
      token_start = here;
      in_token = true;
    }
  }
  if (in_token) tokens.push_back(text.substr(token_start));
  return tokens;
}

std::string_view trim_white_space(std::string_view text) {
  std::size_t at = 0;
  std::size_t first = text.size();
  std::size_t end = 0;
  while (at < text.size()) {
    const std::size_t here = at;
    if (!is_white_space(decode(text, at))) {
      if (first == text.size()) first = here;
      end = at;
    }
  }
  return first == text.size() ? std::string_view() : text.substr(first, end - first);
}

}  // namespace utf8
