// Stand-ins for capture sources this build does not have: the screen, and the network cameras
// registered through /sources. They answer for ids of their form with a clear refusal, so a user
// learns why, instead of reading "no such camera".
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/device.h"
#include "app/device_source.h"
#include "app/network_source.h"

namespace app {

inline constexpr std::string_view kScreenId = "screen";
inline constexpr std::string_view kNetworkPrefix = "net:";

// A device that can be listed but whose every operation is refused with `reason`.
class UnavailableDevice : public Device {
 public:
  UnavailableDevice(DeviceInfo info, Failure reason);
  DeviceInfo info() const override;
  Result<JpegFrame> capture_jpeg(const FrameRequest& request) override;
  Result<Image> capture_gray() override;
  Result<std::vector<ControlInfo>> controls() override;
  Result<ControlChange> set_control(std::string_view name, std::int64_t value) override;

 private:
  DeviceInfo info_;
  Failure reason_;
};

// Answers for "screen": not available in this build (503). Lists nothing.
class NoScreenSource : public DeviceSource {
 public:
  std::vector<std::shared_ptr<Device>> devices() override;
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;
};

// Answers for "net:<name>": lists each registered source, refuses to capture from it (503), and
// says so plainly when no source has that name (404).
class UnlinkedNetworkSource : public DeviceSource {
 public:
  explicit UnlinkedNetworkSource(std::function<std::vector<NetworkSource>()> registered);
  std::vector<std::shared_ptr<Device>> devices() override;
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

 private:
  std::function<std::vector<NetworkSource>()> registered_;
};

}  // namespace app
