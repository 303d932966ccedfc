#include "app/net/network_camera_source.h"

#include <set>
#include <utility>

namespace app::net {
namespace {

constexpr std::string_view kPrefix = "net:";

}  // namespace

NetworkCameraSource::NetworkCameraSource(SourceList list, FetchLimits limits)
    : list_(std::move(list)), limits_(limits) {}

std::shared_ptr<NetworkCamera> NetworkCameraSource::device_for(const NetworkSource& source) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<NetworkCamera>& camera = cameras_[source.name];
  if (!camera || camera->source().url != source.url ||
      camera->source().insecure != source.insecure) {
    camera = std::make_shared<NetworkCamera>(source, limits_);
  }
  return camera;
}

std::vector<std::shared_ptr<Device>> NetworkCameraSource::devices() {
  const std::vector<NetworkSource> sources = list_();
  std::vector<std::shared_ptr<Device>> listed;
  listed.reserve(sources.size());
  std::set<std::string, std::less<>> names;
  for (const NetworkSource& source : sources) {
    listed.push_back(device_for(source));
    names.insert(source.name);
  }
  // Forget the devices of sources that are gone; whoever still holds one keeps it alive.
  std::lock_guard lock(mutex_);
  std::erase_if(cameras_, [&](const auto& entry) { return !names.contains(entry.first); });
  return listed;
}

std::optional<Result<std::shared_ptr<Device>>> NetworkCameraSource::find(std::string_view id) {
  if (!id.starts_with(kPrefix)) return std::nullopt;
  const std::string_view name = id.substr(kPrefix.size());
  if (name.empty()) {
    return Result<std::shared_ptr<Device>>(
        Failure{404, "net: needs the name of a registered source, as in net:phone"});
  }
  for (const NetworkSource& source : list_()) {
    if (source.name == name) return Result<std::shared_ptr<Device>>(device_for(source));
  }
  return Result<std::shared_ptr<Device>>(
      Failure{404, "no source named " + std::string(name) + ": register it with tirvane " +
                       "add-source " + std::string(name) + " URL, or see tirvane sources"});
}

}  // namespace app::net
