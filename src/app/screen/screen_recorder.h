// Records the screen (POST /screen/record): WebM with VP9 or MP4 with H.264. Frames are taken
// from a frame source's stream at a steady rate against the clock while an encoder thread keeps
// up in real time; a frame the encoder has no room for is dropped and counted, never waited for,
// so the video lasts exactly as long as asked. The file is written to a temporary file (both
// containers need a seekable output for their duration and index) and then becomes the answer.
#pragma once

#include <atomic>
#include <memory>
#include <stop_token>

#include "app/recorder.h"
#include "app/screen/display_environment.h"
#include "app/screen/frame_source.h"
#include "app/screen/screen_device.h"
#include "app/screen/video_writer.h"

namespace app {

inline constexpr int kRecordingFps = 30;
// Larger screens are scaled down to about this many pixels, so encoding keeps real time.
inline constexpr int kMaxRecordingPixels = 1920 * 1080;

// The size of the video of a screen_width x screen_height screen: the screen's own size, scaled
// down to kMaxRecordingPixels when larger, in even numbers (one pixel row or column may be cut).
struct VideoSize {
  int width = 0;
  int height = 0;
  bool operator==(const VideoSize&) const = default;
};
VideoSize recording_size(int screen_width, int screen_height);

class ScreenVideoRecorder final : public ScreenRecorder {
 public:
  // Records the display `environment` names (normally display_environment()), through the
  // capture method chosen for it.
  explicit ScreenVideoRecorder(DisplayEnvironment environment);
  // Records the primary output of the display `open` connects to. Each recording opens its own
  // connection, so screenshots go on while it runs.
  explicit ScreenVideoRecorder(FrameSourceOpener open);
  // The same, and `screen` (the screenshots' connection) is what screen_status() reports.
  ScreenVideoRecorder(FrameSourceOpener open, std::shared_ptr<ScreenConnection> screen);

  // The finished file, with the headers X-Frames-Recorded, X-Frames-Dropped and X-Frame-Rate,
  // and the source's warnings, and X-Recording-Cut-Short when it ended early. 409 while another
  // recording runs, 503 without a display. request.output names the monitor ("" for the
  // primary); an unknown one is a 404.
  Result<Recording> record(const RecordingRequest& request) override;

  // Ends the running recording after the frame in hand; its answer has the header
  // X-Recording-Cut-Short. Recordings asked for afterwards are refused.
  void cut_short() override { stopping_.request_stop(); }

  std::optional<ScreenStatus> screen_status() override;

 private:
  const FrameSourceOpener open_;
  const std::shared_ptr<ScreenConnection> screen_;
  std::stop_source stopping_;
  std::atomic<bool> running_{false};
};

}  // namespace app
