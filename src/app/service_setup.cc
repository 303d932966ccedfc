#include "app/service_setup.h"

#include "app/net/network_camera_source.h"
#include "app/screen/screen_recorder.h"
#include "app/screen/screen_source.h"
#include "app/screen/x11_screen.h"
#include "app/test_camera.h"
#include "app/v4l2/webcam_source.h"

namespace app {

std::vector<RegisteredSource> build_device_sources(SourceRegistry& registry, int width, int height,
                                                   std::chrono::seconds camera_idle) {
  auto registered = [&registry] { return registry.list(); };
  v4l2::WebcamOptions webcams;
  webcams.camera.idle_close = camera_idle;
  webcams.camera.first_request = FrameRequest{width, height};
  return {
      {std::make_shared<v4l2::WebcamSource>(v4l2::kernel_device_layer(), webcams),
       DefaultUse::kCandidate},
      {std::make_shared<ScreenSource>(display_environment()), DefaultUse::kNamedOnly},
      {std::make_shared<net::NetworkCameraSource>(registered), DefaultUse::kNamedOnly},
      {std::make_shared<TestCameraSource>(std::make_shared<TestCamera>(width, height)),
       DefaultUse::kCandidate},
  };
}

std::unique_ptr<ScreenRecorder> build_recorder() {
  return std::make_unique<X11ScreenRecorder>(display_environment());
}

}  // namespace app
