// Offers the screen of the service's display as the devices "screen" (the primary monitor, else
// the first) and "screen:NAME" for each monitor, when a display can be reached. The devices it
// hands out share one connection, which reconnects by itself after the display restarts.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "app/device_provider.h"
#include "app/screen/display_environment.h"
#include "app/screen/screen_device.h"

namespace app {

class ScreenProvider final : public DeviceProvider {
 public:
  // `environment` is normally display_environment(): the display the service was started for.
  explicit ScreenProvider(DisplayEnvironment environment);
  // The screen of the display `open` connects to.
  explicit ScreenProvider(FrameSourceOpener open);
  // Shares `connection` (with the recorder's health report, say).
  explicit ScreenProvider(std::shared_ptr<ScreenConnection> connection);

  // "screen", then one device for each monitor, with their sizes, when the display can be
  // reached now; else nothing.
  std::vector<std::shared_ptr<Device>> devices() override;
  // For "screen" and "screen:NAME": the device, or the Failure that says why there is none (no
  // display: 503, the Wayland case named as such; no such monitor: 404). Nothing for any other id.
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

 private:
  std::shared_ptr<ScreenDevice> device_for(const std::string& output);

  std::shared_ptr<ScreenConnection> connection_;
  std::mutex mutex_;
  // One device object for each id ever handed out, so that a device's lock covers every use.
  std::map<std::string, std::shared_ptr<ScreenDevice>> devices_;
};

}  // namespace app
