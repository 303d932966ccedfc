#include "app/service_setup.h"

#include <algorithm>

#include "app/kwin/kwin_frame_source.h"
#include "app/kwin/kwin_screenshot.h"
#include "app/net/network_camera_provider.h"
#include "app/portal/portal_bus.h"
#include "app/portal/mutter_monitors.h"
#include "app/portal/portal_frame_source.h"
#include "app/portal/portal_screen.h"
#include "app/portal/screencast_portal.h"
#include "app/screen/display_environment.h"
#include "app/screen/screen_provider.h"
#include "app/screen/screen_recorder.h"
#include "app/test_camera.h"
#include "app/v4l2/webcam_provider.h"

namespace app {
namespace {

// KDE Plasma's screenshot interface: screenshots only, never asks the user.
DesktopMethod kwin_shots() {
  return {kwin::kwin_screenshot_offered, []() -> Result<std::unique_ptr<FrameSource>> {
            return std::unique_ptr<FrameSource>(std::make_unique<kwin::KwinFrameSource>());
          }};
}

// The desktop portal's screen casting, with the permission kept in the config folder.
DesktopMethod portal_cast(std::shared_ptr<portal::PortalScreen> portal,
                          portal::PortalFrameSource::Use use) {
  return {portal::screencast_offered,
          [portal = std::move(portal), use]() -> Result<std::unique_ptr<FrameSource>> {
            return std::unique_ptr<FrameSource>(
                std::make_unique<portal::PortalFrameSource>(portal, use));
          }};
}

// Said when the session bus answers but offers none of the desktop's methods.
std::string desktop_lacks() {
  if (failed(portal::PortalBus::open())) return "";
  return "its session bus has no desktop portal with screen casting and no KWin screenshot "
         "interface";
}

}  // namespace

ScreenParts build_screen(const std::string& config_folder) {
  const DisplayEnvironment environment = display_environment();
  // Portal monitors are named by connector where GNOME's compositor tells them.
  auto portal = std::make_shared<portal::PortalScreen>(portal::ConsentStore(config_folder),
                                                       portal::name_by_connector);
  // Screenshots: one connection shared by the devices and the health report.
  auto screen = std::make_shared<ScreenConnection>(screen_frame_sources(
      environment,
      {{kwin_shots(), portal_cast(portal, portal::PortalFrameSource::Use::kShots)}, desktop_lacks}));
  // Recordings need a stream: KWin's screenshots are no method for them.
  FrameSourceOpener recordings = screen_frame_sources(
      environment,
      {{portal_cast(portal, portal::PortalFrameSource::Use::kRecording)}, desktop_lacks});

  auto status = [recordings, portal]() -> JsonValue {
    JsonValue extra = JsonValue::object();
    // Opening a source only chooses its method: a portal session starts with the recording.
    auto opened = recordings();
    if (failed(opened)) return extra;
    const std::string method = std::get<std::unique_ptr<FrameSource>>(opened)->method_name();
    extra["recording"] = method;
    if (method == "portal") {
      const bool given = portal->consent_stored();
      extra["consent"] = given ? "given" : "missing";
      if (!given) extra["hint"] = portal::consent_missing_message();
    }
    return extra;
  };
  return {std::make_shared<ScreenProvider>(screen),
          std::make_unique<ScreenVideoRecorder>(std::move(recordings), screen), std::move(status)};
}

std::vector<RegisteredProvider> build_device_providers(SourceRegistry& registry,
                                                       std::shared_ptr<DeviceProvider> screen,
                                                       int width, int height,
                                                       std::chrono::seconds camera_timeout,
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
      {std::move(screen), DefaultUse::kNamedOnly},
      {std::make_shared<net::NetworkCameraProvider>(registered, limits), DefaultUse::kNamedOnly},
      {std::make_shared<TestCameraProvider>(std::make_shared<TestCamera>(width, height)),
       DefaultUse::kCandidate},
  };
}

}  // namespace app
