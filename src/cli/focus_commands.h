// tirvane focus (sweep the lens, lock the sharpest position, chart the sweep) and tirvane look
// (the sweep, then a photo). The report texts are built from the focus document alone, so they
// can be exercised without a service.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "cli/capture_output.h"
#include "protocol/json.h"

// Bars of the chart run from 0 to this many "#" characters.
inline constexpr std::size_t kBarWidth = 46;
// The sample's focus position is right-aligned in a field this wide (never cut).
inline constexpr std::size_t kFocusField = 5;

// POSTs {"device": --device or null} to the sweep endpoint and returns the answer's document
// (null when it is not JSON). A refusal ends the run with the service's text.
JsonValue run_focus_sweep();

// The sort key of a sample: its "focus" member as a signed 64-bit integer; 0 for doubles (even
// whole ones), unsigned values beyond the signed range, and anything that is not a number.
std::int64_t focus_key(const JsonValue& sample);

// Any JSON number as a double; 0.0 for everything else.
double number_or_zero(const JsonValue& value);

// `value` rounded to the nearest whole number, halves to even, written in full with no decimal
// point: 2.5 gives "2", 3.5 gives "4", 1e20 gives "100000000000000000000".
std::string whole_number_text(double value);

// The length of a sample's bar: its sharpness over `chart_max`, times kBarWidth, cut toward zero;
// 0 when that is negative or not a number.
std::size_t bar_length(double sharpness, double chart_max);

// The human report of a focus document: the header line, then one chart line per sample in
// ascending focus order.
std::string focus_report(const JsonValue& document);

// The first human line of look: "focus F (sharpness S)".
std::string look_line(const JsonValue& document);

// The compact report object of look: {"bytes":N,"path":"...","sweep":{...}}.
JsonValue look_document(const JsonValue& document, const SavedFile& saved);
