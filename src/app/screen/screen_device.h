// The screen of the service's X display as a capture device: each frame is a fresh grab of the
// whole screen, encoded straight from the grabbed BGRX pixels. No controls, no focus.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <utility>

#include "app/device.h"
#include "app/screen/pixel_scaler.h"
#include "app/screen/x11_screen.h"

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

// A grabbed screen as the JPEG answer to `request`: its own size, or scaled by shot_size's rule.
// A 400 Failure for a bad size.
Result<JpegFrame> encode_shot(const PixelView& shot, const FrameRequest& request,
                              PixelScaler& scaler);

class ScreenDevice final : public Device {
 public:
  explicit ScreenDevice(DisplayEnvironment environment);

  // Connects to the display when not connected, or when the connection was lost. Nothing, or
  // why the screen cannot be had (a 503 Failure). Safe to call while a capture runs.
  std::optional<Failure> connect();

  DeviceInfo info() const override;
  Result<JpegFrame> capture_jpeg(const FrameRequest& request) override;
  // Refused: the screen has no focus to sweep.
  Result<Image> capture_gray() override;
  // The screen has none: an empty list, and a 400 for any name.
  Result<std::vector<ControlInfo>> controls() override;
  Result<ControlChange> set_control(std::string_view name, std::int64_t value) override;

 private:
  std::optional<Failure> connect_locked();
  Result<PixelView> grab_locked();

  const DisplayEnvironment environment_;
  // Guards everything below: info() and connect() are called without `busy`.
  mutable std::mutex mutex_;
  std::unique_ptr<X11Screen> screen_;
  PixelScaler scaler_;
};

}  // namespace app
