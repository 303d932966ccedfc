// Screen recording, as the POST /screen/record endpoint sees it.
#pragma once

#include <string>
#include <vector>

#include "app/device.h"
#include "app/failure.h"
#include "protocol/json.h"

namespace app {

struct Recording {
  std::string bytes;         // the whole finished file
  std::string content_type;  // "video/webm" or "video/mp4"
  std::vector<Header> headers;  // frames recorded, frames dropped, ...
};

class ScreenRecorder {
 public:
  virtual ~ScreenRecorder() = default;
  // `request` is the POST body as sent: {"format": string or null, "secs": number or null}.
  // Checks it (a Failure naming the allowed values), records, and returns the file. A second
  // recording while one runs is refused with 409.
  virtual Result<Recording> record(const JsonValue& request) = 0;
};

}  // namespace app
