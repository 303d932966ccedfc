// Where the screen's pixels come from. Screenshots (ScreenDevice) and recording
// (ScreenVideoRecorder) read frames only through this interface; X11 is one implementation
// (x11_screen.h), and Wayland capture methods sit beside it. Nothing downstream of it (the
// scaler, JPEG and video coding) knows which method serves the screen.
//
// One FrameSource is one connection to a display. It is not thread-safe: use each from one
// thread at a time (different sources may run concurrently; a recording opens its own). When the
// display goes away the source says so through lost(), every later call fails, and the owner
// opens a new source on its next request: the service reconnects without a restart.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/device.h"
#include "app/failure.h"
#include "app/image.h"

namespace app {

// One monitor of the display.
struct ScreenOutput {
  std::string name;  // the display's own name for it, e.g. "HDMI-A-1"
  int width = 0;
  int height = 0;
  bool primary = false;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;

  // The capture method, a short name such as "x11".
  virtual std::string method_name() const = 0;

  // The display's name as given, e.g. ":0" or "wayland-1".
  virtual std::string display_name() const = 0;

  // The outputs as they are now, the primary one (or else the first) first.
  virtual Result<std::vector<ScreenOutput>> outputs() = 0;
  // False for a method that cannot list the display's outputs: grab() is then the judge of
  // whether an output exists.
  virtual bool lists_outputs() const { return true; }

  // The newest frame of `output` ("" for the primary output) as BGRX rows with their own
  // stride. The pixels belong to the source and stay valid until its next call. Follows changes
  // of the output's size. A 503 Failure when the display is lost.
  virtual Result<PixelView> grab(std::string_view output) = 0;

  // True once the display has gone away; nothing more comes through this source.
  virtual bool lost() const = 0;
  // Checks the connection now (a round trip where the method has one): false when lost.
  virtual bool alive() = 0;

  // Headers that go with every picture from this source, e.g. a warning that some windows
  // cannot be seen through it. None by default.
  virtual std::vector<Header> warnings() const { return {}; }

  // Streaming, for recording at a steady rate. Between start_stream() and stop_stream(),
  // newest_frame() gives the newest finished frame of the output without waiting for a new one
  // to be made: a source that pipelines keeps a copy in flight, a stream that sends frames only
  // on change gives the previous frame again. By default each newest_frame() is a grab().
  virtual std::optional<Failure> start_stream(std::string_view output) {
    stream_output_ = std::string(output);
    return std::nullopt;
  }
  virtual Result<PixelView> newest_frame() { return grab(stream_output_); }
  virtual void stop_stream() {}

 private:
  std::string stream_output_;
};

// Opens a new connection to the display the service captures, or the 503 Failure that says why
// the screen cannot be had. Called from any thread.
using FrameSourceOpener = std::function<Result<std::unique_ptr<FrameSource>>()>;

}  // namespace app
