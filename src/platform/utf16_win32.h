// Conversions between the UTF-16 of the Windows interfaces and the UTF-8 used everywhere else.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

// `text` as UTF-8. An unpaired surrogate is written as U+FFFD, so any text converts.
std::string utf8_from_utf16(std::wstring_view text);

// `text` as UTF-8, or nothing when it holds an unpaired surrogate and so is not Unicode text.
std::optional<std::string> strict_utf8_from_utf16(std::wstring_view text);

// `text` as UTF-16. Bytes that are not well-formed UTF-8 are read as U+FFFD.
std::wstring utf16_from_utf8(std::string_view text);

}  // namespace platform
