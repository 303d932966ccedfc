// The whole screen of an X display, grabbed into memory: through MIT-SHM when the server shares
// memory with us, else through XGetImage (about 40 times slower, but works over any connection).
//
// One X11Screen is one connection to the X server. It is not thread-safe: use each from one
// thread at a time (different X11Screens may run concurrently). When the server goes away the
// connection is marked lost and every later grab fails; open a new X11Screen then.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/failure.h"
#include "app/image.h"

namespace app {

// Which display the service was started for, as its environment tells.
struct DisplayEnvironment {
  std::optional<std::string> display;  // DISPLAY
  bool wayland_session = false;        // WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE is wayland
  std::optional<std::string> wayland_display;  // WAYLAND_DISPLAY
};

// What this process's environment says.
DisplayEnvironment display_environment();

// The refusal when there is no display to capture, word for word.
inline constexpr const char* kNoDisplayMessage =
    "no X display: set DISPLAY or start the service inside your desktop session";

enum class GrabMethod { kSharedMemory, kGetImage };

// A RandR monitor: a part of the root window shown on one screen.
struct X11Monitor {
  std::string name;  // the output's name ("HDMI-1"), or the name a monitor was given
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool primary = false;
};

class X11Screen {
 public:
  // Connects to the display the environment names. Without one, or when it cannot be opened or
  // its pixels are not 24-bit colour, a 503 Failure that says why (a Wayland session without X
  // access is named as such).
  static Result<std::unique_ptr<X11Screen>> open(const DisplayEnvironment& environment);

  ~X11Screen();
  X11Screen(const X11Screen&) = delete;
  X11Screen& operator=(const X11Screen&) = delete;

  // The whole screen now, as BGRX rows with their own stride. The pixels belong to this
  // X11Screen and stay valid until the next grab. Follows changes of the screen size.
  Result<PixelView> grab();

  // The size of the last grab (or, before the first, of the screen when connected).
  int width() const;
  int height() const;
  GrabMethod method() const;
  // The display name as given, e.g. ":0".
  const std::string& display_name() const;
  // True on XWayland, where only X11 windows can be seen: Wayland windows come out black. Known
  // by its extension, or by the names it gives its outputs.
  bool is_xwayland() const;
  // The active monitors, as RandR tells now; empty when the server has no RandR 1.5.
  std::vector<X11Monitor> monitors();
  // True once the connection to the server has broken; nothing more can be grabbed through it.
  bool lost() const;
  // Asks the server for a round trip: false when the connection has broken (it is then lost).
  bool alive();

  struct State;

 private:
  explicit X11Screen(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace app
