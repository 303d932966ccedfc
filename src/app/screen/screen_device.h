// The screen as a capture device: each frame is a fresh grab of the primary output from the
// frame source, encoded straight from the grabbed BGRX pixels. No controls, no focus.
#pragma once

#include <memory>
#include <optional>
#include <utility>

#include "app/device.h"
#include "app/pixel_scaler.h"
#include "app/screen/frame_source.h"

namespace app {

struct ShotSize {
  int width = 0;
  int height = 0;
  bool operator==(const ShotSize&) const = default;
};

// The size of a shot of a screen_width x screen_height screen for `request`: the screen's own
// size when neither is asked; otherwise the largest size that fits inside the asked width and/or
// height with the screen's aspect kept, and never larger than the screen itself. A 400 Failure
// for a width or height below 1.
Result<ShotSize> shot_size(const FrameRequest& request, int screen_width, int screen_height);

class ScreenDevice final : public Device {
 public:
  // `open` makes a new connection to the display; it is called again after the display was
  // lost.
  explicit ScreenDevice(FrameSourceOpener open);

  // Connects to the display when not connected, or when the connection was lost. Nothing, or
  // why the screen cannot be had (a 503 Failure). Waits for a running capture.
  std::optional<Failure> connect();

 private:
  DeviceInfo describe() const override;
  std::string label() const override { return "the screen"; }
  Result<JpegFrame> take_jpeg(const FrameRequest& request) override;
  // The screen is taken whole unless a size is asked.
  DefaultFrameSize frame_size_rule() const override { return DefaultFrameSize::kNatural; }

  // The caller holds device_mutex().
  std::optional<Failure> connect_locked();
  Result<PixelView> grab_locked();

  const FrameSourceOpener open_;
  std::unique_ptr<FrameSource> source_;
  PixelScaler scaler_;
};

}  // namespace app
