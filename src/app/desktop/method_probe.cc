#include "app/desktop/method_probe.h"

#include "app/kwin/kwin_screenshot.h"
#include "app/portal/screencast_portal.h"

namespace app::desktop {

const char* method_name(ScreenMethod method) {
  switch (method) {
    case ScreenMethod::kWlrScreencopy:
      return "wlr-screencopy";
    case ScreenMethod::kKwin:
      return "kwin";
    case ScreenMethod::kPortal:
      return "portal";
    case ScreenMethod::kX11:
      return "x11";
    case ScreenMethod::kNone:
      break;
  }
  return "none";
}

bool wlr_screencopy_offered(const DisplayEnvironment&) { return false; }

ScreenMethods probe_screen_methods(const DisplayEnvironment& environment) {
  if (!environment.wayland_session) return {};
  if (wlr_screencopy_offered(environment)) {
    return {ScreenMethod::kWlrScreencopy, ScreenMethod::kWlrScreencopy};
  }
  // XWayland shows only X11 windows: the last resort.
  const ScreenMethod last = environment.display ? ScreenMethod::kX11 : ScreenMethod::kNone;
  const ScreenMethod recordings = portal::screencast_offered() ? ScreenMethod::kPortal : last;
  if (kwin::kwin_screenshot_offered()) return {ScreenMethod::kKwin, recordings};
  return {recordings, recordings};
}

}  // namespace app::desktop
