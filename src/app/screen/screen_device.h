// The screen as capture devices: "screen" (the primary monitor, else the first) and
// "screen:NAME" for each monitor, all sharing one connection to the display server. Each frame
// is a fresh picture, encoded straight from the captured BGRX pixels. No controls, no focus.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/device.h"
#include "app/screen/frame_source.h"
#include "app/screen/pixel_scaler.h"

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

// What the connection last saw of the display.
struct ScreenState {
  std::string method;   // "wlr-screencopy", "x11"
  std::string display;  // "wayland-1", ":0"
  std::vector<ScreenOutput> outputs;
};

// One frame source for all the screen's devices, opened on first use and opened anew (probing
// again) after the display server went away. Safe to use from many threads.
class ScreenConnection {
 public:
  explicit ScreenConnection(DisplayEnvironment environment);

  // The display now (connecting when needed), or why the screen cannot be had (a 503).
  Result<ScreenState> look();
  // What look() last found, without asking the display; nothing before the first success.
  std::optional<ScreenState> last_seen() const;
  // A shot of `output` ("" for the primary) as a JPEG of the asked size.
  Result<JpegFrame> shot(const std::string& output, const FrameRequest& request);

 private:
  std::optional<Failure> connect_locked();
  Result<PixelView> grab_locked(const std::string& output);

  const DisplayEnvironment environment_;
  mutable std::mutex mutex_;
  std::unique_ptr<FrameSource> source_;
  std::optional<ScreenState> seen_;
  PixelScaler scaler_;
};

class ScreenDevice final : public Device {
 public:
  // `output` empty: the device "screen"; else "screen:" + output.
  ScreenDevice(std::shared_ptr<ScreenConnection> connection, std::string output);

  DeviceInfo info() const override;
  Result<JpegFrame> capture_jpeg(const FrameRequest& request) override;
  // Refused: the screen has no focus to sweep.
  Result<Image> capture_gray() override;
  // The screen has none: an empty list, and a 400 for any name.
  Result<std::vector<ControlInfo>> controls() override;
  Result<ControlChange> set_control(std::string_view name, std::int64_t value) override;

 private:
  std::shared_ptr<ScreenConnection> connection_;
  const std::string output_;
};

}  // namespace app
