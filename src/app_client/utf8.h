// UTF-8 text helpers: validity, scalar-value counts and the Unicode White_Space set.
#pragma once

#include <cstddef>
#include <string_view>
#include <vector>

namespace utf8 {

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool is_valid(std::string_view text);

// The number of Unicode scalar values in well-formed `text`.
std::size_t scalar_count(std::string_view text);

// True for the characters of the Unicode White_Space property.
bool is_white_space(char32_t c);

// Splits well-formed `text` at runs of white space, dropping leading and trailing runs.
std::vector<std::string_view> split_white_space(std::string_view text);

// `text` without white space at either end. `text` must be well-formed.
std::string_view trim_white_space(std::string_view text);

}  // namespace utf8
