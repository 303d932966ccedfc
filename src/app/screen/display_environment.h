// Which display the service captures, and the capture method that serves it.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

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

// A capture method of a Wayland desktop beyond wlr-screencopy (a compositor's own screenshot
// interface, the desktop portal): asked whether the session offers it, then opened.
struct DesktopMethod {
  std::function<bool()> offered;  // asks the session; opens nothing
  FrameSourceOpener open;         // its failure (no permission, say) is the answer: no fallback
};

// The desktop's methods in the order they are tried.
struct DesktopMethods {
  std::vector<DesktopMethod> in_order;
  // What a refusal adds when none is offered although the desktop could be asked (its session
  // bus answers), e.g. which interfaces it lacks; "" when it could not be asked.
  std::function<std::string()> none_offered;
};

// Opens frame sources on the display `environment` names, through the capture method that
// serves it. Capture methods are chosen here and nowhere else, by probing, each time a source is
// opened: a Wayland compositor's screencopy first, then `desktop` in its order, the X
// server last. Inside a Wayland session an XWayland root window is never used (it shows Wayland
// windows as black): that is a 503 that names the session and what would work, like every other
// way of having no screen.
FrameSourceOpener screen_frame_sources(DisplayEnvironment environment,
                                       DesktopMethods desktop = {});

}  // namespace app
