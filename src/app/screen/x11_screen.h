// The whole screen of an X display as a frame source, grabbed into memory: through MIT-SHM when
// the server shares memory with us, else through XGetImage (about 40 times slower, but works
// over any connection).
//
// One X11Screen is one connection to the X server, with the threading and loss rules of
// FrameSource. Its outputs are the RandR monitors, each cut out of the root window; a server
// without RandR monitors has one, the whole X screen, named kX11ScreenOutput.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/failure.h"
#include "app/image.h"
#include "app/screen/display_environment.h"
#include "app/screen/frame_source.h"

namespace app {

// The refusal when there is no display to capture, word for word.
inline constexpr const char* kNoDisplayMessage =
    "no X display: set DISPLAY or start the service inside your desktop session";

enum class GrabMethod { kSharedMemory, kGetImage };

// The name of the one output of an X11Screen without RandR monitors.
inline constexpr std::string_view kX11ScreenOutput = "screen";

// A RandR monitor: a part of the root window shown on one screen.
struct X11Monitor {
  std::string name;  // the output's name ("HDMI-1"), or the name a monitor was given
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool primary = false;
};

class X11Screen final : public FrameSource {
 public:
  // Connects to the display the environment names. Without one, or when it cannot be opened or
  // its pixels are not 24-bit colour, a 503 Failure that says why (a Wayland session without X
  // access is named as such).
  static Result<std::unique_ptr<X11Screen>> open(const DisplayEnvironment& environment);

  ~X11Screen() override;
  X11Screen(const X11Screen&) = delete;
  X11Screen& operator=(const X11Screen&) = delete;

  // The whole screen now, as BGRX rows with their own stride. The pixels belong to this
  // X11Screen and stay valid until the next grab. Follows changes of the screen size.
  Result<PixelView> grab();
  // The named monitor ("": the primary, else the first), cut out of a grab of the whole
  // screen; a 503 Failure for a monitor that is gone.
  Result<PixelView> grab(std::string_view output) override;

  std::string method_name() const override { return "x11"; }
  // The monitors that lie on the root window (clipped to it), the primary first.
  Result<std::vector<ScreenOutput>> outputs() override;
  // The active monitors, as RandR tells now; empty when the server has no RandR 1.5.
  std::vector<X11Monitor> monitors();
  // On XWayland, a warning that Wayland windows come out black.
  std::vector<Header> warnings() const override;

  // The size of the last grab (or, before the first, of the screen when connected).
  int width() const;
  int height() const;
  GrabMethod method() const;
  // The display name as given, e.g. ":0".
  std::string display_name() const override;
  // True on XWayland, where only X11 windows can be seen: Wayland windows come out black. Known
  // by its extension, or by the names it gives its outputs.
  bool is_xwayland() const;
  // True once the connection to the server has broken; nothing more can be grabbed through it.
  bool lost() const override;
  // Asks the server for a round trip: false when the connection has broken (it is then lost).
  bool alive() override;

  struct State;

 private:
  std::vector<X11Monitor> visible_monitors();

  explicit X11Screen(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace app
