// Encodes frames taken at the ticks of a steady clock and writes them to a video file through
// libavcodec and libavformat: WebM with VP9, or MP4 with H.264, both YUV 4:2:0.
//
// Tick n is the moment n / fps seconds after the start. A frame stays on screen until the next
// frame's tick, and the last one until the end tick given to finish(), so ticks without a frame
// (frames dropped by the capture side) keep the previous picture up and the file still lasts
// exactly as long as the recording.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "app/failure.h"
#include "app/recorder.h"

struct AVFrame;

namespace app {

struct VideoSettings {
  VideoFormat format = VideoFormat::kWebm;
  int width = 0;  // even, as 4:2:0 needs
  int height = 0;
  int fps = 30;
};

struct FrameDeleter {
  void operator()(AVFrame* frame) const;
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

class VideoWriter {
 public:
  // Creates or truncates the file at `path`, which must be seekable (a regular file): both
  // containers write their duration and index at the end.
  static Result<std::unique_ptr<VideoWriter>> open(const std::string& path,
                                                   const VideoSettings& settings);
  ~VideoWriter();
  VideoWriter(const VideoWriter&) = delete;
  VideoWriter& operator=(const VideoWriter&) = delete;

  // A frame of the video's size and pixel format, to fill and hand to write().
  Result<FramePtr> make_frame() const;

  // Encodes `frame` as the picture of `tick`; ticks must increase. The encoder may keep a
  // reference to the frame's pixels: make the frame writable (av_frame_make_writable) before
  // filling it again. Nothing, or what went wrong.
  std::optional<Failure> write(AVFrame& frame, std::int64_t tick);

  // Drains the encoder, lets the last frame last until `end_tick` and completes the file.
  std::optional<Failure> finish(std::int64_t end_tick);

  // Frames in the file so far.
  std::int64_t frames_written() const;

  struct State;

 private:
  explicit VideoWriter(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace app
