#include "app/service_setup.h"

#include "app/net/network_camera_source.h"
#include "app/screen/screen_recorder.h"
#include "app/screen/screen_source.h"
#include "app/screen/x11_screen.h"
#include "app/test_camera.h"
#include "app/v4l2/webcam_source.h"

namespace app {
namespace {

// The screen's one connection, shared by its devices and the health report.
std::shared_ptr<ScreenConnection> service_screen() {
  static const auto screen = std::make_shared<ScreenConnection>(display_environment());
  return screen;
}

}  // namespace

std::vector<RegisteredSource> build_device_sources(SourceRegistry& registry, int width, int height) {
  auto registered = [&registry] { return registry.list(); };
  return {
      {std::make_shared<v4l2::WebcamSource>(), DefaultUse::kCandidate},
      {std::make_shared<ScreenSource>(service_screen()), DefaultUse::kNamedOnly},
      {std::make_shared<net::NetworkCameraSource>(registered), DefaultUse::kNamedOnly},
      {std::make_shared<TestCameraSource>(std::make_shared<TestCamera>(width, height)),
       DefaultUse::kCandidate},
  };
}

std::unique_ptr<ScreenRecorder> build_recorder() {
  return std::make_unique<ScreenVideoRecorder>(display_environment(), service_screen());
}

}  // namespace app
