// The pieces of tirvane controls and tirvane set that work on text alone, for the handlers and
// for the fuzz targets.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/json.h"

// One line per element of the "controls" member: the name left-aligned in 14 characters, then
// "MIN..MAX  now VALUE" in compact JSON. No controls give empty text.
std::string controls_report(const JsonValue& controls);

// "CONTROL = VALUE (was WAS)" and a line break, each member in compact JSON.
std::string set_report(const JsonValue& answer);

// `text` as a signed 64-bit whole number: one optional "+" or "-", then one or more ASCII digits
// and nothing else. Leading zeros are fine; anything else, or a value out of range, gives nothing.
std::optional<std::int64_t> parse_whole_number(std::string_view text);
