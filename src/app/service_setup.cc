#include "app/service_setup.h"

#include <algorithm>

#include "app/net/network_camera_provider.h"
#include "app/screen/display_environment.h"
#include "app/screen/screen_provider.h"
#include "app/screen/screen_recorder.h"
#include "app/test_camera.h"
#include "app/v4l2/webcam_provider.h"

namespace app {
namespace {

// The screen's one connection, shared by its devices and the health report.
std::shared_ptr<ScreenConnection> service_screen() {
  static const auto screen =
      std::make_shared<ScreenConnection>(screen_frame_sources(display_environment()));
  return screen;
}

}  // namespace

std::vector<RegisteredProvider> build_device_providers(SourceRegistry& registry, int width,
                                                     int height, std::chrono::seconds camera_timeout,
                                                     std::chrono::seconds camera_idle,
                                                     int own_port) {
  auto registered = [&registry] { return registry.list(); };
  net::FetchLimits limits;
  limits.total_timeout = camera_timeout;
  limits.connect_timeout = std::min<std::chrono::milliseconds>(limits.connect_timeout, camera_timeout);
  limits.own_port = own_port;
  v4l2::WebcamOptions webcams;
  webcams.camera.idle_close = camera_idle;
  webcams.camera.first_request = FrameRequest{width, height};
  return {
      {std::make_shared<v4l2::WebcamProvider>(v4l2::kernel_device_layer(), webcams),
       DefaultUse::kCandidate},
      {std::make_shared<ScreenProvider>(service_screen()), DefaultUse::kNamedOnly},
      {std::make_shared<net::NetworkCameraProvider>(registered, limits), DefaultUse::kNamedOnly},
      {std::make_shared<TestCameraProvider>(std::make_shared<TestCamera>(width, height)),
       DefaultUse::kCandidate},
  };
}

std::unique_ptr<ScreenRecorder> build_recorder() {
  return std::make_unique<ScreenVideoRecorder>(screen_frame_sources(display_environment()),
                                               service_screen());
}

}  // namespace app
