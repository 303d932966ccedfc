#include "app/screen/display_environment.h"

#include <cstdlib>
#include <string_view>
#include <utility>

#include "app/screen/x11_screen.h"
#include "app/wayland/wayland_frame_source.h"

namespace app {

DisplayEnvironment display_environment() {
  DisplayEnvironment environment;
  if (const char* display = std::getenv("DISPLAY")) environment.display = display;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* session = std::getenv("XDG_SESSION_TYPE");
  environment.wayland_session = (wayland != nullptr && *wayland != '\0') ||
                                (session != nullptr && std::string_view(session) == "wayland");
  if (wayland != nullptr && *wayland != '\0') environment.wayland_display = wayland;
  return environment;
}

namespace {

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

// What would capture a Wayland session where nothing this service knows does.
constexpr const char* kWhatWouldWork =
    "start the service inside your desktop session, with its WAYLAND_DISPLAY and "
    "XDG_RUNTIME_DIR, on a compositor that offers wlr-screencopy (sway, Hyprland, river, "
    "Wayfire, labwc, niri)";

// Why the Wayland side of a session gave nothing: the compositor cannot be reached, or it offers
// no method this service can capture with.
struct WaylandProblem {
  std::string display;
  bool reached = false;
  std::string why;  // when not reached
  std::string desktop_lacks;  // what the desktop's session lacks, when it could be asked
};

// What would capture a desktop whose compositor offers no wlr-screencopy.
constexpr const char* kDesktopWouldWork =
    "; or install xdg-desktop-portal with your desktop's portal backend";

Failure wayland_refusal(const WaylandProblem& problem, const std::string* xwayland_display,
                        const std::string& desktop_lacks) {
  std::string message = "no screen to capture in this Wayland session: ";
  if (!problem.reached) {
    message += problem.why;
  } else {
    message += "the compositor of the Wayland display " + quoted(problem.display) +
               " offers no capture method this service can use";
  }
  if (!desktop_lacks.empty()) message += ", " + desktop_lacks;
  if (xwayland_display != nullptr) {
    message += ", and XWayland's display " + quoted(*xwayland_display) +
               " would show Wayland windows as black, so it is not used";
  }
  message += "; ";
  message += kWhatWouldWork;
  if (!desktop_lacks.empty()) message += kDesktopWouldWork;
  return {FailureKind::kUnavailable, message};
}

Result<std::unique_ptr<FrameSource>> open_frame_source(
    const DisplayEnvironment& environment, const DesktopMethods& desktop) {
  std::optional<WaylandProblem> wayland_problem;
  if (environment.wayland_session) {
    // A session announced only by XDG_SESSION_TYPE has its compositor on the default socket.
    const std::string display = environment.wayland_display.value_or("wayland-0");
    auto connected = wayland::WaylandScreen::connect(display);
    if (auto* screen = std::get_if<std::unique_ptr<wayland::WaylandScreen>>(&connected)) {
      if ((*screen)->can_capture()) {
        return wayland::make_screencopy_frame_source(std::move(*screen));
      }
      wayland_problem = WaylandProblem{display, true, "", ""};
    } else {
      wayland_problem = WaylandProblem{display, false, std::get<Failure>(connected).message, ""};
    }
    // The desktop's own methods, before X11.
    for (const DesktopMethod& method : desktop.in_order) {
      if (method.offered()) return method.open();
    }
    if (desktop.none_offered) wayland_problem->desktop_lacks = desktop.none_offered();
  }

  // The X server: the only method outside a Wayland session, the last resort inside one.
  auto opened = X11Screen::open(environment);
  if (failed(opened)) {
    if (wayland_problem) {
      return wayland_refusal(*wayland_problem, nullptr, wayland_problem->desktop_lacks);
    }
    return std::get<Failure>(opened);
  }
  auto& screen = std::get<std::unique_ptr<X11Screen>>(opened);
  if (wayland_problem && screen->is_xwayland()) {
    const std::string xwayland = screen->display_name();
    return wayland_refusal(*wayland_problem, &xwayland, wayland_problem->desktop_lacks);
  }
  return std::unique_ptr<FrameSource>(std::move(screen));
}

}  // namespace

FrameSourceOpener screen_frame_sources(DisplayEnvironment environment,
                                       DesktopMethods desktop) {
  return [environment = std::move(environment), desktop = std::move(desktop)] {
    return open_frame_source(environment, desktop);
  };
}

}  // namespace app
