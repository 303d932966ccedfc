// The human reports of tirvane sources, add-source and forget-source, as text, for the handlers
// and for the fuzz targets.
#pragma once

#include <string>

#include "protocol/json.h"

// One line per element of the "sources" member: "  net:" and the name left-aligned in 16
// characters, one space, the URL. An empty registry gives the two-line hint instead.
std::string sources_report(const JsonValue& sources);

// The sources document on standard output: pretty JSON with --json, else sources_report.
void print_sources(const JsonValue& sources);

// "added NAME — use it with --device net:NAME": the "added" member in compact JSON, then its
// bare text, or "?" when it is not a string.
std::string added_report(const JsonValue& answer);

// "removed NAME": the "removed" member in compact JSON.
std::string removed_report(const JsonValue& answer);
