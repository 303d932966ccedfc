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
};

// What this process's environment says.
DisplayEnvironment display_environment();

// Opens frame sources on the display `environment` names, through the capture method that
// serves it. Capture methods are chosen here and nowhere else.
FrameSourceOpener screen_frame_sources(DisplayEnvironment environment);

}  // namespace app
