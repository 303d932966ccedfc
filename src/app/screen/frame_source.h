// Where screen pictures come from: one connection to the display server the service was started
// for, through the best capture method it offers. Screenshots and recordings take their frames
// from here and know nothing of the method behind it.
//
// A FrameSource is not thread-safe: use each from one thread at a time (different FrameSources
// may run concurrently). When the display server goes away it is marked lost and every later
// call fails; open a new one then.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/device.h"
#include "app/failure.h"
#include "app/image.h"
#include "app/screen/x11_screen.h"

namespace app {

// One monitor: a Wayland output or an X11 RandR monitor (normally named after its output).
struct ScreenOutput {
  std::string name;  // "HDMI-A-1", "DP-2", ...
  int width = 0;     // as captured: upright, in pixels
  int height = 0;
  bool primary = false;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // The capture method, a short name: "wlr-screencopy", "x11".
  virtual std::string method_name() const = 0;
  // The display as named by the environment: "wayland-1", ":0".
  virtual std::string display_name() const = 0;
  // The monitors now, the primary (else the first) first; a 503 when the display is lost.
  virtual Result<std::vector<ScreenOutput>> outputs() = 0;
  // A fresh picture of the named output; empty: the primary (else the first). The pixels are
  // BGRX and stay valid until the next call on this source.
  virtual Result<PixelView> grab(std::string_view output) = 0;

  // Frames for a recording. A source that can pipelines them (a copy always under way, each
  // call takes the newest finished one); by default each call is a fresh grab.
  virtual std::optional<Failure> start_stream(std::string_view output) {
    stream_output_ = output;
    return std::nullopt;
  }
  virtual Result<PixelView> newest_frame() { return grab(stream_output_); }
  virtual void stop_stream() {}

  // Headers to add to every answer made from its pictures.
  virtual std::vector<Header> warnings() const { return {}; }

  // True once the connection has broken.
  virtual bool lost() const = 0;
  // Asks the server for a round trip: false when the connection has broken.
  virtual bool alive() = 0;

 private:
  std::string stream_output_;
};

// Probes the environment's display servers and connects through the best method found: a
// Wayland compositor's screencopy first, the X server last. Inside a Wayland session an XWayland
// root window is never used (it shows Wayland windows as black): that is a 503 that names the
// session and what would work, like every other way of having no screen.
Result<std::unique_ptr<FrameSource>> open_frame_source(const DisplayEnvironment& environment);

}  // namespace app
