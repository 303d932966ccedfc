#include "app/screen/display_environment.h"

#include <cstdlib>
#include <string_view>
#include <utility>

#include "app/screen/x11_screen.h"

namespace app {

DisplayEnvironment display_environment() {
  DisplayEnvironment environment;
  if (const char* display = std::getenv("DISPLAY")) environment.display = display;
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  const char* session = std::getenv("XDG_SESSION_TYPE");
  environment.wayland_session = (wayland != nullptr && *wayland != '\0') ||
                                (session != nullptr && std::string_view(session) == "wayland");
  return environment;
}

FrameSourceOpener screen_frame_sources(DisplayEnvironment environment) {
  return x11_frame_sources(std::move(environment));
}

}  // namespace app
