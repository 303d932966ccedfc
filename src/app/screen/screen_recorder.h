// Records the screen of the service's X display (POST /screen/record): WebM with VP9 or MP4 with
// H.264. Frames are grabbed at a steady rate against the clock while an encoder thread keeps up
// in real time; a frame the encoder has no room for is dropped and counted, never waited for, so
// the video lasts exactly as long as asked. The file is written to a temporary file (both
// containers need a seekable output for their duration and index) and then becomes the answer.
#pragma once

#include <atomic>

#include "app/recorder.h"
#include "app/screen/video_writer.h"
#include "app/screen/x11_screen.h"

namespace app {

inline constexpr int kRecordingFps = 30;
inline constexpr int kDefaultRecordingSecs = 5;
inline constexpr int kMaxRecordingSecs = 120;
// Larger screens are scaled down to about this many pixels, so encoding keeps real time.
inline constexpr int kMaxRecordingPixels = 1920 * 1080;

struct RecordingRequest {
  VideoFormat format = VideoFormat::kWebm;
  int secs = kDefaultRecordingSecs;
};

// Reads {"format": "webm" | "mp4" | null, "secs": 1..120 | null}; null takes the default (webm,
// 5 seconds). Anything else is a 400 Failure naming the allowed values.
Result<RecordingRequest> read_recording_request(const JsonValue& body);

// The size of the video of a screen_width x screen_height screen: the screen's own size, scaled
// down to kMaxRecordingPixels when larger, in even numbers (one pixel row or column may be cut).
struct VideoSize {
  int width = 0;
  int height = 0;
  bool operator==(const VideoSize&) const = default;
};
VideoSize recording_size(int screen_width, int screen_height);

// Where a recording's pictures come from: asked once per tick of the 30 fps clock, it gives the
// screen as it is now (a source that has nothing newer gives its previous picture again). A
// Failure ends the recording with that refusal.
class FrameFeed {
 public:
  virtual ~FrameFeed() = default;
  virtual Result<PixelView> next_frame() = 0;
};

// Records `request.secs` seconds of `feed`, a screen_width x screen_height screen, with the
// accounting and answer described for X11ScreenRecorder. The caller keeps one recording at a time.
Result<Recording> record_feed(const RecordingRequest& request, int screen_width, int screen_height,
                              FrameFeed& feed);

class X11ScreenRecorder final : public ScreenRecorder {
 public:
  // `environment` is normally display_environment(). Each recording opens its own connection,
  // so screenshots go on while it runs.
  explicit X11ScreenRecorder(DisplayEnvironment environment);

  // The finished file, with the headers X-Frames-Recorded, X-Frames-Dropped and X-Frame-Rate.
  // 400 for a bad request, 409 while another recording runs, 503 without a display.
  Result<Recording> record(const JsonValue& request) override;

 private:
  const DisplayEnvironment environment_;
  std::atomic<bool> running_{false};
};

}  // namespace app
