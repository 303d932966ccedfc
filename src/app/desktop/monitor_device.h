// One monitor of a desktop as a capture device ("screen" or "screen:NAME"), read through a
// frame source: each shot is the newest picture of that monitor, encoded straight from its BGRX
// pixels. No controls, no focus.
#pragma once

#include <memory>
#include <string>

#include "app/device.h"
#include "app/pixel_scaler.h"
#include "app/screen/frame_source.h"

namespace app::desktop {

class MonitorDevice final : public Device {
 public:
  // `output` "" is the primary monitor, the device "screen"; else the device "screen:OUTPUT".
  // `open` is called again when the source is no longer alive.
  MonitorDevice(FrameSourceOpener open, std::string output);

  // The monitor's size as its desktop reports it, for listing before the first shot.
  void know_size(int width, int height);

 private:
  DeviceInfo describe() const override;
  std::string label() const override { return "the screen"; }
  Result<JpegFrame> take_jpeg(const FrameRequest& request) override;
  DefaultFrameSize frame_size_rule() const override { return DefaultFrameSize::kNatural; }

  const FrameSourceOpener open_;
  const std::string output_;
  std::unique_ptr<FrameSource> source_;
  std::string method_;
  int width_ = 0;  // of the last shot
  int height_ = 0;
  PixelScaler scaler_;
};

}  // namespace app::desktop
