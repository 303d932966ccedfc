// Offers the screen of the service's display as the devices "screen" (the primary monitor, else
// the first) and "screen:NAME" for each monitor, when a display can be reached. The devices it
// hands out share one connection, which reconnects by itself after the server restarts.
#pragma once

#include <map>
#include <memory>
#include <mutex>

#include "app/device_source.h"
#include "app/screen/screen_device.h"
#include "app/screen/x11_screen.h"

namespace app {

class ScreenSource final : public DeviceSource {
 public:
  // `environment` is normally display_environment(): the display the service was started for.
  explicit ScreenSource(DisplayEnvironment environment);
  // Shares `connection` (with the recorder's health report, say).
  explicit ScreenSource(std::shared_ptr<ScreenConnection> connection);

  // "screen", then one device for each monitor, with their sizes, when the display can be
  // reached now; else nothing.
  std::vector<std::shared_ptr<Device>> devices() override;
  // For "screen" and "screen:NAME": the device, or the Failure that says why there is none (no
  // display: 503, the Wayland case named as such; no such monitor: 404). Nothing for any other id.
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

 private:
  std::shared_ptr<Device> device_for(const std::string& output);

  std::shared_ptr<ScreenConnection> connection_;
  std::mutex mutex_;
  // One device object for each id ever handed out, so that a device's lock covers every use.
  std::map<std::string, std::shared_ptr<Device>> devices_;
};

}  // namespace app
