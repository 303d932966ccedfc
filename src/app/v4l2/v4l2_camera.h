// A webcam driven through V4L2, as a Device of the service.
//
// The node is opened on first use and kept streaming while requests come, so that a focus sweep
// or a burst of snaps does not pay for opening and warming up the camera each time; after
// `idle_close` without a request it is closed again, so that other programs can have it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <stop_token>
#include <thread>

#include "app/device.h"
#include "app/pixel_scaler.h"
#include "app/v4l2/camera_failure.h"
#include "app/v4l2/capture_session.h"
#include "app/v4l2/device_layer.h"

namespace app::v4l2 {

struct CameraOptions {
  StreamSettings stream;
  // How long the node stays open and streaming after a request; 0 gives it back after each one.
  std::chrono::milliseconds idle_close{3000};
  // The size streaming starts at when a request needs any frame (the focus sweep's): the one
  // the next snap will most likely ask for, so that it finds the stream running.
  FrameRequest first_request;
  // The longest a UVC focus motor takes to bring the lens to rest after a move: slow motor-driven
  // lenses need over a second for their whole range. The sweep stops waiting as soon as two
  // frames in a row agree.
  std::chrono::milliseconds focus_settle{1500};
  int jpeg_quality = 90;
  // Gray frames for measuring are reduced (by 2, 4 or 8) while they stay at least this wide.
  int gray_min_width = 480;
};

class V4l2Camera final : public Device {
 public:
  // `info` is what a look at the node found (its card name, whether it can focus, its size).
  V4l2Camera(std::shared_ptr<DeviceLayer> layer, CameraRef camera, DeviceInfo info,
             CameraOptions options);
  ~V4l2Camera() override;

  // True while the node is open on behalf of this camera.
  bool in_use() const;

 private:
  DeviceInfo describe() const override;
  // The mode that best covers the asked box (formats.h), its picture fitted inside the box with
  // the aspect kept and never enlarged; the camera's own JPEG as it is when that fits exactly.
  // With the headers X-Frame-Size (the size sent, always) and X-Asked-Size (when it differs
  // from the size asked).
  Result<JpegFrame> take_jpeg(const FrameRequest& request) override;
  Result<Image> take_gray() override;
  Result<std::vector<ControlInfo>> list_controls() override;
  Result<ControlChange> change_control(std::string_view name, std::int64_t value) override;
  std::chrono::milliseconds settle_time() const override { return options_.focus_settle; }
  std::optional<std::chrono::steady_clock::time_point> gray_exposure_began() const override {
    return gray_exposure_began_;
  }

  // Runs `operation` on the open session, opening it first; a failure of the device closes the
  // session, so the next request starts afresh.
  template <class T, class Operation>
  Result<T> with_session(Operation&& operation);
  Result<bool> ensure_streaming(const FrameRequest& request, bool keep_current);
  void close_when_idle(std::stop_token stop);

  const std::shared_ptr<DeviceLayer> layer_;
  const CameraRef camera_;
  const CameraOptions options_;

  DeviceInfo info_;  // the size follows the stream started last

  mutable std::mutex session_mutex_;
  std::condition_variable_any session_opened_;
  std::unique_ptr<CaptureSession> session_;
  bool stale_ = false;  // a control changed since the last frame
  std::optional<std::chrono::steady_clock::time_point> gray_exposure_began_;
  PixelScaler scaler_;  // for raw frames sent at another size
  std::chrono::steady_clock::time_point last_use_;

  std::jthread closer_;  // last: stopped and joined before the members it uses go away
};

}  // namespace app::v4l2
