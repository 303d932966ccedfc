// Which display the service captures, and the capture method that serves it.
#pragma once

#include <optional>
#include <string>

#include "app/screen/frame_source.h"

namespace app {

// Which display the service was started for, as its environment tells.
struct DisplayEnvironment {
  std::optional<std::string> display;  // DISPLAY
  bool wayland_session = false;        // WAYLAND_DISPLAY is set, or XDG_SESSION_TYPE is wayland
  std::optional<std::string> wayland_display;  // WAYLAND_DISPLAY
};

// What this process's environment says.
DisplayEnvironment display_environment();

// Opens frame sources on the display `environment` names, through the capture method that
// serves it. Capture methods are chosen here and nowhere else, by probing, each time a source is
// opened: a Wayland compositor's screencopy first, the X server last. Inside a Wayland session
// an XWayland root window is never used (it shows Wayland windows as black): that is a 503 that
// names the session and what would work, like every other way of having no screen.
FrameSourceOpener screen_frame_sources(DisplayEnvironment environment);

}  // namespace app
