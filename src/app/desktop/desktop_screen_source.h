// The screen as the devices "screen" and "screen:NAME", through whichever method the session
// offers (see method_probe.h). An X11 session is served exactly as before, by ScreenProvider.
#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string_view>

#include "app/desktop/monitor_device.h"
#include "app/device_provider.h"
#include "app/portal/portal_screen.h"
#include "app/screen/display_environment.h"
#include "app/screen/screen_provider.h"
#include "protocol/json.h"

namespace app::desktop {

class DesktopScreenSource final : public DeviceProvider {
 public:
  DesktopScreenSource(DisplayEnvironment environment,
                      std::shared_ptr<portal::PortalScreen> portal);

  std::vector<std::shared_ptr<Device>> devices() override;
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

  // For /health: {"method": shots, "recording": recordings} and, on the portal, whether consent
  // is stored ("consent": "given" / "missing", with what to do when missing).
  JsonValue status() const;

 private:
  // The device of `output` ("" for "screen") through KWin or the portal, made once.
  std::shared_ptr<MonitorDevice> device_for(bool kwin, const std::string& output);

  const DisplayEnvironment environment_;
  std::shared_ptr<portal::PortalScreen> portal_;
  ScreenProvider x11_;
  std::mutex mutex_;  // guards devices_
  std::map<std::pair<bool, std::string>, std::shared_ptr<MonitorDevice>> devices_;
};

}  // namespace app::desktop
