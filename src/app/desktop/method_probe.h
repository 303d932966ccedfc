// Which way to the screen this session offers, found by asking it rather than by its name:
// wlr-screencopy, then KWin's screenshot interface (screenshots only), then the desktop portal's
// screen casting, and X11 last (through XWayland in a Wayland session).
#pragma once

#include <string>

#include "app/screen/display_environment.h"

namespace app::desktop {

// kNone: a Wayland session that offers none of them and has no XWayland display either.
enum class ScreenMethod { kWlrScreencopy, kKwin, kPortal, kX11, kNone };

// The short name status and /health show: "wlr-screencopy", "kwin", "portal", "x11", "none".
const char* method_name(ScreenMethod method);

struct ScreenMethods {
  ScreenMethod shots = ScreenMethod::kX11;
  ScreenMethod recordings = ScreenMethod::kX11;
};

// The hook for the wlroots capture: true when the Wayland registry offers wlr-screencopy.
// Answers false until that capture is joined here.
bool wlr_screencopy_offered(const DisplayEnvironment& environment);

// The methods for shots and for recordings. An X11 session is X11 without asking anything.
ScreenMethods probe_screen_methods(const DisplayEnvironment& environment);

// The refusal when a Wayland session offers no method at all.
inline constexpr const char* kNoWaylandMethodMessage =
    "cannot capture this Wayland desktop: its session bus has no desktop portal with screen "
    "casting and no KWin screenshot interface, and there is no XWayland display; install "
    "xdg-desktop-portal with your desktop's portal backend, and start the service inside your "
    "desktop session";

}  // namespace app::desktop
