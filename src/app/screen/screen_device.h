// The screen as capture devices: "screen" (the primary monitor, else the first) and
// "screen:NAME" for each monitor, all sharing one connection to the display. Each frame is a
// fresh picture from the frame source, encoded straight from its BGRX pixels. No controls, no
// focus.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// What the connection last saw of the display.
struct ScreenState {
  std::string method;   // "wlr-screencopy", "x11"
  std::string display;  // "wayland-1", ":0"
  std::vector<ScreenOutput> outputs;
  bool outputs_listed = true;  // false: the method cannot list them, `outputs` may lack some
};

// One frame source for all the screen's devices, opened on first use and opened anew (the
// method probed again) after the display went away. Safe to use from many threads.
class ScreenConnection {
 public:
  // `open` makes a new connection to the display; it is called again after the display was
  // lost.
  explicit ScreenConnection(FrameSourceOpener open);

  // The display now (connecting when needed), or why the screen cannot be had (a 503).
  Result<ScreenState> look();
  // What look() last found, without asking the display; nothing before the first success.
  std::optional<ScreenState> last_seen() const;
  // A shot of `output` ("" for the primary) as a JPEG of the asked size.
  Result<JpegFrame> shot(const std::string& output, const FrameRequest& request);

 private:
  std::optional<Failure> connect_locked();
  Result<PixelView> grab_locked(const std::string& output);

  const FrameSourceOpener open_;
  mutable std::mutex mutex_;
  std::unique_ptr<FrameSource> source_;
  std::optional<ScreenState> seen_;
  PixelScaler scaler_;
};

class ScreenDevice final : public Device {
 public:
  // `output` empty: the device "screen"; else "screen:" + output.
  ScreenDevice(std::shared_ptr<ScreenConnection> connection, std::string output);

  // Takes a new description from what the connection last saw (after a look at the display).
  void refresh();

 private:
  DeviceInfo describe() const override;
  std::string label() const override { return "the screen"; }
  Result<JpegFrame> take_jpeg(const FrameRequest& request) override;
  // The screen is taken whole unless a size is asked.
  DefaultFrameSize frame_size_rule() const override { return DefaultFrameSize::kNatural; }

  std::shared_ptr<ScreenConnection> connection_;
  const std::string output_;
};

}  // namespace app
