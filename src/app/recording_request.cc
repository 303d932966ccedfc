#include "app/recording_request.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>

namespace app {
namespace {

// A value from the request shown inside a refusal; a long one is not echoed back.
std::string shown(const JsonValue& value) {
  std::string text = json_text(value);
  return text.size() <= 40 ? " " + text : "";
}

Failure bad_format(const JsonValue& format) {
  return {FailureKind::kBadRequest,
          "unknown format" + shown(format) + ": use \"webm\" or \"mp4\" (null for webm)"};
}

Failure bad_secs(const JsonValue& secs) {
  return {FailureKind::kBadRequest,
          "secs must be a whole number from 1 to " + std::to_string(kMaxRecordingSecs) +
              " (null for " + std::to_string(kDefaultRecordingSecs) + "), not" + shown(secs)};
}

}  // namespace

Result<RecordingRequest> read_recording_request(const JsonValue& body) {
  if (!body.is_object()) {
    return Failure{FailureKind::kBadRequest,
                   "the recording request must be a JSON object with format and secs"};
  }
  RecordingRequest request;
  const JsonValue& format = member(body, "format");
  if (format == "mp4") {
    request.format = VideoFormat::kMp4;
  } else if (!format.is_null() && format != "webm") {
    return bad_format(format);
  }
  const JsonValue& device = member(body, "device");
  if (device.is_string() && device.get<std::string>().starts_with("screen:") &&
      device.get<std::string>().size() > 7) {
    request.output = device.get<std::string>().substr(7);
  } else if (!device.is_null() && device != "screen") {
    return Failure{FailureKind::kBadRequest,
                   "only the screen can be recorded: device must be \"screen\" or "
                   "\"screen:NAME\" (null for the screen), not" + shown(device)};
  }
  const JsonValue& secs = member(body, "secs");
  if (secs.is_null()) return request;
  double value = 0;
  if (secs.is_number_unsigned()) {
    value = static_cast<double>(std::min<std::uint64_t>(secs.get<std::uint64_t>(), 1u << 20));
  } else if (secs.is_number()) {
    value = secs.get<double>();
  } else {
    return bad_secs(secs);
  }
  if (!(value >= 1 && value <= kMaxRecordingSecs) || std::floor(value) != value) {
    return bad_secs(secs);
  }
  request.secs = static_cast<int>(value);
  return request;
}

Result<Recording> record_screen(ScreenRecorder& recorder, const JsonValue& body) {
  auto read = read_recording_request(body);
  if (failed(read)) return std::get<Failure>(read);
  return recorder.record(std::get<RecordingRequest>(read));
}

}  // namespace app
