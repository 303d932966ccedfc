#include "app/service_setup.h"

#include <algorithm>

#include "app/net/network_camera_source.h"
#include "app/screen/screen_recorder.h"
#include "app/screen/screen_source.h"
#include "app/screen/x11_screen.h"
#include "app/test_camera.h"
#include "app/v4l2/webcam_source.h"

namespace app {

std::vector<RegisteredSource> build_device_sources(SourceRegistry& registry, int width, int height,
                                                   std::chrono::seconds camera_timeout) {
  auto registered = [&registry] { return registry.list(); };
  net::FetchLimits limits;
  limits.total_timeout = camera_timeout;
  limits.connect_timeout = std::min<std::chrono::milliseconds>(limits.connect_timeout, camera_timeout);
  return {
      {std::make_shared<v4l2::WebcamSource>(), DefaultUse::kCandidate},
      {std::make_shared<ScreenSource>(display_environment()), DefaultUse::kNamedOnly},
      {std::make_shared<net::NetworkCameraSource>(registered, limits), DefaultUse::kNamedOnly},
      {std::make_shared<TestCameraSource>(std::make_shared<TestCamera>(width, height)),
       DefaultUse::kCandidate},
  };
}

std::unique_ptr<ScreenRecorder> build_recorder() {
  return std::make_unique<X11ScreenRecorder>(display_environment());
}

}  // namespace app
