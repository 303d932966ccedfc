// Which way to the screen this session offers, found by asking it rather than by its name:
// wlr-screencopy, then KWin's screenshot interface (screenshots only), then the desktop portal's
// screen casting, and X11 last (through XWayland in a Wayland session).
#pragma once

#include <string>

#include "app/screen/x11_screen.h"

namespace app::desktop {

enum class ScreenMethod { kWlrScreencopy, kKwin, kPortal, kX11 };

// The short name status and /health show: "wlr-screencopy", "kwin", "portal", "x11".
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

}  // namespace app::desktop
