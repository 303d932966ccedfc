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
      break;
  }
  return "x11";
}

bool wlr_screencopy_offered(const DisplayEnvironment&) { return false; }

ScreenMethods probe_screen_methods(const DisplayEnvironment& environment) {
  if (!environment.wayland_session) return {};
  if (wlr_screencopy_offered(environment)) {
    return {ScreenMethod::kWlrScreencopy, ScreenMethod::kWlrScreencopy};
  }
  const bool portal = portal::screencast_offered();
  const ScreenMethod recordings = portal ? ScreenMethod::kPortal : ScreenMethod::kX11;
  if (kwin::kwin_screenshot_offered()) return {ScreenMethod::kKwin, recordings};
  return {recordings, recordings};
}

}  // namespace app::desktop
