// The human listing of tirvane devices, as text, for the handler and for the fuzz targets.
#pragma once

#include <string>

#include "protocol/json.h"

// One line per element of the "devices" member: identifier right-aligned in 3 characters, name
// left-aligned in 34, then "focusable" or "fixed focus". A document without devices gives the
// "no cameras found" line instead.
std::string devices_report(const JsonValue& devices);
