// tirvane record: the service records the screen and sends the whole video back. The parsing of
// --secs and the request body work on values alone, so they can be exercised without a service.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/json.h"

inline constexpr std::string_view kSecsUsage = "--secs wants a whole number of seconds";

// An optional "+" and one or more ASCII digits, at most 4294967295 (leading zeros allowed), as
// that number; nothing for every other text.
std::optional<std::uint32_t> secs_value(std::string_view text);
// secs_value() of --secs, or nothing when the option is absent; a bad value ends the run with
// kSecsUsage.
std::optional<std::uint32_t> parse_secs();

// {"format": the text or null, "secs": the number or null}.
JsonValue record_body(const std::optional<std::string>& format, std::optional<std::uint32_t> secs);

// "screen.mp4" when the format is exactly "mp4", else "screen.webm".
std::string_view record_file_name(const std::optional<std::string>& format);
