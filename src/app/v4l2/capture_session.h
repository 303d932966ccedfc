// One open camera node: its formats, and while it streams, its memory-mapped buffers.
//
// Not thread-safe: the camera that owns it serialises every call. Closing (the destructor)
// stops streaming, unmaps the buffers and closes the descriptor, in that order.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/failure.h"
#include "app/v4l2/camera_failure.h"
#include "app/v4l2/device_layer.h"
#include "app/v4l2/formats.h"

struct v4l2_buffer;

namespace app::v4l2 {

// What the driver agreed to deliver; it may differ from what was asked.
struct StreamFormat {
  std::uint32_t fourcc = 0;
  FrameSize size;
  std::size_t stride = 0;  // bytes per row of the first plane; 0 for compressed formats
  bool limited_range = true;
};

struct StreamSettings {
  int buffer_count = 4;
  int warmup_frames = 5;  // discarded after streaming starts: the first ones are often dark
  int frame_timeout_ms = 5000;
};

// One frame, copied out of the driver's buffer.
struct CapturedFrame {
  std::string bytes;
  // When its exposure began, where the driver's time stamp tells.
  std::optional<std::chrono::steady_clock::time_point> exposure_began;
};

class CaptureSession {
 public:
  // Opens the node and checks that it is a video capture device that can stream.
  static Result<std::unique_ptr<CaptureSession>> open(std::shared_ptr<DeviceLayer> layer,
                                                      CameraRef camera);
  ~CaptureSession();
  CaptureSession(const CaptureSession&) = delete;
  CaptureSession& operator=(const CaptureSession&) = delete;

  int fd() const { return fd_; }
  const std::vector<OfferedFormat>& formats() const { return formats_; }
  // The size the camera is set to: the streaming one, else the one it had when opened.
  FrameSize current_size() const;

  bool streaming() const { return streaming_.has_value(); }
  // The choice streaming was started with, and what the driver made of it.
  const std::optional<FormatChoice>& streaming_choice() const { return choice_; }
  const StreamFormat& stream_format() const { return *streaming_; }

  // (Re)starts streaming in `choice`, then discards the warm-up frames.
  Result<StreamFormat> start(const FormatChoice& choice, const StreamSettings& settings);
  void stop();

  // A copy of one frame completed after this call began: frames already waiting are dropped,
  // and after a control change the next `skip` frames too (the one being exposed during the
  // change, and, since a camera acts on a control a little after the write, the one whose
  // exposure may have begun in between). Buffers the driver marks as damaged are skipped.
  Result<CapturedFrame> next_frame(int skip);

  // A copy of a frame whose exposure began at `asked` or later, so that nothing it shows comes
  // from before then; with `later` > 0, that many such frames are passed over first (after a
  // control change: a camera acts on it a little after the write). Frames already waiting are
  // dropped; damaged buffers are skipped.
  Result<CapturedFrame> frame_exposed_after(std::chrono::steady_clock::time_point asked,
                                            int later);

 private:
  CaptureSession(std::shared_ptr<DeviceLayer> layer, CameraRef camera, int fd);

  struct Buffer {
    void* address = nullptr;
    std::size_t length = 0;
  };
  struct Dequeued {
    std::uint32_t index = 0;
    std::size_t bytes_used = 0;
    bool damaged = false;
    // When its exposure began, from the driver's time stamp; nothing when the driver gives no
    // usable stamp (or stamps the end of exposure and the frame interval is not known yet).
    std::optional<std::chrono::steady_clock::time_point> exposure_began;
  };
  // The last frame's end-of-exposure stamp, to learn the frame interval from.
  struct LastStamp {
    std::chrono::steady_clock::time_point at;
    std::uint32_t sequence = 0;
  };

  Result<Dequeued> wait_for_buffer();
  // When the frame in `buffer`, dequeued just now, began its exposure.
  std::optional<std::chrono::steady_clock::time_point> exposure_start(const v4l2_buffer& buffer);
  // The next undamaged frame, copied.
  Result<CapturedFrame> copy_next_whole();
  Result<bool> requeue(std::uint32_t index);
  Result<bool> drain_waiting();
  Result<bool> discard_frames(int count);

  std::shared_ptr<DeviceLayer> layer_;
  CameraRef camera_;
  int fd_ = -1;
  std::vector<OfferedFormat> formats_;
  FrameSize opened_size_;
  std::vector<Buffer> buffers_;
  std::optional<FormatChoice> choice_;
  std::optional<StreamFormat> streaming_;
  StreamSettings settings_;
  std::optional<LastStamp> last_stamp_;
};

}  // namespace app::v4l2
