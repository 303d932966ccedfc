// Screen recording as the service's API sees it: a checked request goes in, a finished video
// file comes out. The request's JSON is read by the API layer (recording_request.h); a recorder
// never sees it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/device.h"
#include "app/failure.h"
#include "app/file_body.h"

namespace app {

enum class VideoFormat { kWebm, kMp4 };

inline constexpr int kDefaultRecordingSecs = 5;
inline constexpr int kMaxRecordingSecs = 120;

struct RecordingRequest {
  VideoFormat format = VideoFormat::kWebm;
  int secs = kDefaultRecordingSecs;  // 1 to kMaxRecordingSecs
  std::string output;  // the monitor: "" for the device "screen", NAME for "screen:NAME"
};

// How the screen is captured, or why it cannot be.
struct ScreenStatus {
  struct Monitor {
    std::string id;  // "screen:NAME"
    int width = 0;
    int height = 0;
    bool primary = false;
  };
  std::string method;   // "wlr-screencopy", "x11"; empty when the screen cannot be had
  std::string display;  // "wayland-1", ":0"
  std::vector<Monitor> monitors;
  std::string problem;  // why the screen cannot be had
};

struct Recording {
  // The finished file, sent from disk: a long recording is never held in memory whole.
  std::shared_ptr<const FileBody> file;
  std::string content_type;  // "video/webm" or "video/mp4"
  std::vector<Header> headers;  // frames recorded, frames dropped, ...
  // JPEGs of the first, middle and last pictures in the file, at the screen's own size; empty
  // when the recorder keeps none.
  std::vector<std::string> stills;
};

// Safe to call from many request threads at once.
class ScreenRecorder {
 public:
  virtual ~ScreenRecorder() = default;
  // Records for request.secs seconds and returns the file. A second recording while one runs
  // is refused as busy (409). When the client of the request goes away (client_watch.h), the
  // recording stops within a frame or two and is thrown away, and the recorder is free again.
  virtual Result<Recording> record(const RecordingRequest& request) = 0;
  // For stopping the service: a running recording ends within moments, finished with the
  // frames it has and a header saying it was cut short; later ones are refused (503).
  virtual void cut_short() = 0;
  // How the screen is captured now, for the service's health; nothing when it cannot tell.
  virtual std::optional<ScreenStatus> screen_status() { return std::nullopt; }
};

}  // namespace app
