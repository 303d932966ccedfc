#include "app/service_setup.h"

#include <algorithm>

#include "app/desktop/desktop_recorder.h"
#include "app/desktop/desktop_screen_source.h"
#include "app/net/network_camera_provider.h"
#include "app/portal/portal_screen.h"
#include "app/screen/display_environment.h"
#include "app/test_camera.h"
#include "app/v4l2/webcam_provider.h"

namespace app {

ScreenParts build_screen(const std::string& config_folder) {
  const DisplayEnvironment environment = display_environment();
  auto portal = std::make_shared<portal::PortalScreen>(portal::ConsentStore(config_folder));
  auto provider = std::make_shared<desktop::DesktopScreenSource>(environment, portal);
  return {provider, std::make_unique<desktop::DesktopScreenRecorder>(environment, portal),
          [provider] { return provider->status(); }};
}

std::vector<RegisteredProvider> build_device_providers(SourceRegistry& registry,
                                                       std::shared_ptr<DeviceProvider> screen,
                                                       int width, int height,
                                                       std::chrono::seconds camera_timeout,
                                                       std::chrono::seconds camera_idle) {
  auto registered = [&registry] { return registry.list(); };
  net::FetchLimits limits;
  limits.total_timeout = camera_timeout;
  limits.connect_timeout = std::min<std::chrono::milliseconds>(limits.connect_timeout, camera_timeout);
  v4l2::WebcamOptions webcams;
  webcams.camera.idle_close = camera_idle;
  webcams.camera.first_request = FrameRequest{width, height};
  return {
      {std::make_shared<v4l2::WebcamProvider>(v4l2::kernel_device_layer(), webcams),
       DefaultUse::kCandidate},
      {std::move(screen), DefaultUse::kNamedOnly},
      {std::make_shared<net::NetworkCameraProvider>(registered, limits), DefaultUse::kNamedOnly},
      {std::make_shared<TestCameraProvider>(std::make_shared<TestCamera>(width, height)),
       DefaultUse::kCandidate},
  };
}

}  // namespace app
