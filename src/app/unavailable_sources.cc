#include "app/unavailable_sources.h"

#include "app/device_registry.h"

namespace app {
namespace {

Failure network_unavailable(const std::string& id) {
  return Failure{503, id + " is registered, but this build cannot capture from network cameras"};
}

}  // namespace

UnavailableDevice::UnavailableDevice(DeviceInfo info, Failure reason)
    : info_(std::move(info)), reason_(std::move(reason)) {}

DeviceInfo UnavailableDevice::info() const { return info_; }
Result<JpegFrame> UnavailableDevice::capture_jpeg(const FrameRequest&) { return reason_; }
Result<Image> UnavailableDevice::capture_gray() { return reason_; }
Result<std::vector<ControlInfo>> UnavailableDevice::controls() { return reason_; }
Result<ControlChange> UnavailableDevice::set_control(std::string_view, std::int64_t) {
  return reason_;
}

std::vector<std::shared_ptr<Device>> NoScreenSource::devices() { return {}; }

std::optional<Result<std::shared_ptr<Device>>> NoScreenSource::find(std::string_view id) {
  if (id != kScreenId) return std::nullopt;
  return Result<std::shared_ptr<Device>>(
      Failure{503, "screen capture is not available in this build"});
}

UnlinkedNetworkSource::UnlinkedNetworkSource(
    std::function<std::vector<NetworkSource>()> registered)
    : registered_(std::move(registered)) {}

std::vector<std::shared_ptr<Device>> UnlinkedNetworkSource::devices() {
  std::vector<std::shared_ptr<Device>> listed;
  for (const NetworkSource& source : registered_()) {
    const std::string id = std::string(kNetworkPrefix) + source.name;
    listed.push_back(std::make_shared<UnavailableDevice>(
        DeviceInfo{id, source.name + " (" + source.url + ")", false, std::nullopt, std::nullopt},
        network_unavailable(id)));
  }
  return listed;
}

std::optional<Result<std::shared_ptr<Device>>> UnlinkedNetworkSource::find(std::string_view id) {
  if (!id.starts_with(kNetworkPrefix)) return std::nullopt;
  const std::string_view name = id.substr(kNetworkPrefix.size());
  for (const NetworkSource& source : registered_()) {
    if (source.name == name) {
      return Result<std::shared_ptr<Device>>(network_unavailable(std::string(id)));
    }
  }
  return Result<std::shared_ptr<Device>>(
      Failure{404, "no source named " + clip_for_message(name) +
                       " (tirvane sources lists them; tirvane add-source registers one)"});
}

}  // namespace app
