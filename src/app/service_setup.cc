#include "app/service_setup.h"

#include "app/desktop/desktop_recorder.h"
#include "app/desktop/desktop_screen_source.h"
#include "app/net/network_camera_source.h"
#include "app/portal/portal_screen.h"
#include "app/screen/x11_screen.h"
#include "app/test_camera.h"
#include "app/v4l2/webcam_source.h"

namespace app {

ScreenParts build_screen(const std::string& config_folder) {
  const DisplayEnvironment environment = display_environment();
  auto portal = std::make_shared<portal::PortalScreen>(portal::ConsentStore(config_folder));
  auto source = std::make_shared<desktop::DesktopScreenSource>(environment, portal);
  return {source, std::make_unique<desktop::DesktopScreenRecorder>(environment, portal),
          [source] { return source->status(); }};
}

std::vector<RegisteredSource> build_device_sources(SourceRegistry& registry,
                                                   std::shared_ptr<DeviceSource> screen, int width,
                                                   int height) {
  auto registered = [&registry] { return registry.list(); };
  return {
      {std::make_shared<v4l2::WebcamSource>(), DefaultUse::kCandidate},
      {std::move(screen), DefaultUse::kNamedOnly},
      {std::make_shared<net::NetworkCameraSource>(registered), DefaultUse::kNamedOnly},
      {std::make_shared<TestCameraSource>(std::make_shared<TestCamera>(width, height)),
       DefaultUse::kCandidate},
  };
}

}  // namespace app
