// Filling report fields to a width counted in characters (Unicode scalar values), never cutting.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "app_client/utf8.h"

// `text` followed by spaces up to `width` characters.
inline std::string pad_right(std::string_view text, std::size_t width) {
  std::string out(text);
  const std::size_t count = utf8::scalar_count(text);
  if (count < width) out.append(width - count, ' ');
  return out;
}

// Spaces up to `width` characters, then `text`.
inline std::string pad_left(std::string_view text, std::size_t width) {
  const std::size_t count = utf8::scalar_count(text);
  std::string out(count < width ? width - count : 0, ' ');
  out.append(text);
  return out;
}
