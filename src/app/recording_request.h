// The body of POST /screen/record, read into a RecordingRequest.
#pragma once

#include "app/failure.h"
#include "app/recorder.h"
#include "protocol/json.h"

namespace app {

// Reads {"format": "webm" | "mp4" | null, "secs": 1..120 | null, "device": "screen" |
// "screen:NAME" | null (absent)}; null takes the default (webm, 5 seconds, the screen). Anything
// else is a 400 Failure naming the allowed values.
Result<RecordingRequest> read_recording_request(const JsonValue& body);

// Reads the body and records with `recorder`: a bad body is refused before the recorder (and so
// the display) is asked for anything.
Result<Recording> record_screen(ScreenRecorder& recorder, const JsonValue& body);

}  // namespace app
