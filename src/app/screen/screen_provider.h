// Offers the screen of the service's display as the device "screen", when a display can be
// reached. The one ScreenDevice it hands out reconnects by itself after the display restarts.
#pragma once

#include <memory>

#include "app/device_provider.h"
#include "app/screen/screen_device.h"
#include "app/screen/x11_screen.h"

namespace app {

class ScreenProvider final : public DeviceProvider {
 public:
  // `environment` is normally display_environment(): the display the service was started for.
  explicit ScreenProvider(DisplayEnvironment environment);
  // The screen of the display `open` connects to.
  explicit ScreenProvider(FrameSourceOpener open);

  // The screen with its size when its display can be reached now; else nothing.
  std::vector<std::shared_ptr<Device>> devices() override;
  // For "screen": the device, or the 503 Failure that says why there is no display (the
  // Wayland case named as such). Nothing for any other id.
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

 private:
  std::shared_ptr<ScreenDevice> screen_;
};

}  // namespace app
