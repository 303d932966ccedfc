// What the client relies on the capture service for: every endpoint it calls, under the API base
// "/api", with the members it sends and the members it reads. Anything else in an answer is the
// service's own affair and is shown only by --json.
//
// The service answers every request with a status line, a header block and the body, then closes
// the connection; it begins within 300 seconds and never pauses longer than that. A status below
// 400 is success; 400 or more is a refusal whose body may be an object with a string "error".
// A null "device", "secs" or "format" means the option was not given.
#pragma once

#include <cstdint>
#include <string_view>

namespace contract {

// Every path below is appended to this, on 127.0.0.1.
inline constexpr std::string_view kApiPrefix = "/api";
// The service's port when neither its command line nor this variable names one; the client
// addresses the same port by the same rule.
inline constexpr std::uint16_t kDefaultPort = 7777;
inline constexpr const char* kPortVariable = "TIRVANE_PORT";

// GET: "version", "port", "settings" {"device", "width", "height"}.
inline constexpr std::string_view kHealth = "/health";

// GET: "devices" [{"id", "name", "focusable"}].
inline constexpr std::string_view kDevices = "/devices";

// GET, followed by an optional "&device=ID": "controls" [{"name", "min", "max", "value"}].
inline constexpr std::string_view kControlsQuery = "/controls?_=";
// POST {"device", "name", "value"}: sets the control; answers "control", "value", "was".
inline constexpr std::string_view kControls = "/controls";

// GET: "sources" [{"name", "url"}].
inline constexpr std::string_view kSources = "/sources";
// POST {"name", "url"} to kSources: registers device "net:NAME"; answers "added".
// POST {"name"}: forgets it; answers "removed".
inline constexpr std::string_view kSourcesRemove = "/sources/remove";

// GET, followed by optional "&device=ID" and "&width=W&height=H": the body is the JPEG.
inline constexpr std::string_view kFrameQuery = "/frame.jpg?_=";
// GET, followed by optional "&width=W&height=H": the body is the JPEG of the whole screen.
inline constexpr std::string_view kScreenFrameQuery = "/frame.jpg?device=screen";

// POST {"device"}: sweeps the lens and locks the sharpest position; answers
// "sweep" {"focus", "sharpness", "samples" [{"focus", "sharpness"}]}.
inline constexpr std::string_view kFocus = "/focus";

// POST {"format", "secs"}: the body is the whole video.
inline constexpr std::string_view kScreenRecord = "/screen/record";

// The members named above, in the requests and in the answers.
namespace key {
inline constexpr std::string_view kError = "error";  // the text of a refusal
inline constexpr std::string_view kVersion = "version";
inline constexpr std::string_view kPort = "port";
inline constexpr std::string_view kSettings = "settings";
inline constexpr std::string_view kDevice = "device";
inline constexpr std::string_view kWidth = "width";
inline constexpr std::string_view kHeight = "height";
inline constexpr std::string_view kDevices = "devices";
inline constexpr std::string_view kId = "id";
inline constexpr std::string_view kName = "name";
inline constexpr std::string_view kFocusable = "focusable";
inline constexpr std::string_view kControls = "controls";
inline constexpr std::string_view kMin = "min";
inline constexpr std::string_view kMax = "max";
inline constexpr std::string_view kValue = "value";
inline constexpr std::string_view kControl = "control";
inline constexpr std::string_view kWas = "was";
inline constexpr std::string_view kSources = "sources";
inline constexpr std::string_view kUrl = "url";
inline constexpr std::string_view kAdded = "added";
inline constexpr std::string_view kRemoved = "removed";
inline constexpr std::string_view kSweep = "sweep";
inline constexpr std::string_view kFocus = "focus";
inline constexpr std::string_view kSharpness = "sharpness";
inline constexpr std::string_view kSamples = "samples";
inline constexpr std::string_view kFormat = "format";
inline constexpr std::string_view kSecs = "secs";
}  // namespace key

}  // namespace contract
