// The screen as the devices "screen" and "screen:NAME", through whichever method the session
// offers (see method_probe.h). An X11 session is served exactly as before, by ScreenSource.
#pragma once

#include <memory>
#include <string_view>

#include "app/device_source.h"
#include "app/portal/portal_screen.h"
#include "app/screen/screen_source.h"
#include "protocol/json.h"

namespace app::desktop {

class DesktopScreenSource final : public DeviceSource {
 public:
  DesktopScreenSource(DisplayEnvironment environment,
                      std::shared_ptr<portal::PortalScreen> portal);

  std::vector<std::shared_ptr<Device>> devices() override;
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

  // For /health: {"method": shots, "recording": recordings} and, on the portal, whether consent
  // is stored ("consent": "given" / "missing", with what to do when missing).
  JsonValue status() const;

 private:
  const DisplayEnvironment environment_;
  std::shared_ptr<portal::PortalScreen> portal_;
  ScreenSource x11_;
};

}  // namespace app::desktop
