#include "app/net/network_camera_provider.h"

#include <set>
#include <utility>

#include "app/text.h"

namespace app::net {
namespace {

constexpr std::string_view kPrefix = "net:";

}  // namespace

NetworkCameraProvider::NetworkCameraProvider(SourceList list, FetchLimits limits)
    : list_(std::move(list)), limits_(limits) {}

std::shared_ptr<NetworkCamera> NetworkCameraProvider::device_for(const NetworkCameraEntry& source) {
  std::lock_guard lock(mutex_);
  std::shared_ptr<NetworkCamera>& camera = cameras_[source.name];
  if (!camera || camera->source().url != source.url ||
      camera->source().insecure != source.insecure) {
    camera = std::make_shared<NetworkCamera>(source, limits_);
  }
  return camera;
}

std::vector<std::shared_ptr<Device>> NetworkCameraProvider::devices() {
  const std::vector<NetworkCameraEntry> sources = list_();
  std::vector<std::shared_ptr<Device>> listed;
  listed.reserve(sources.size());
  std::set<std::string, std::less<>> names;
  for (const NetworkCameraEntry& source : sources) {
    listed.push_back(device_for(source));
    names.insert(source.name);
  }
  // Forget the devices of sources that are gone; whoever still holds one keeps it alive.
  std::lock_guard lock(mutex_);
  std::erase_if(cameras_, [&](const auto& entry) { return !names.contains(entry.first); });
  return listed;
}

std::optional<Result<std::shared_ptr<Device>>> NetworkCameraProvider::find(std::string_view id) {
  if (!id.starts_with(kPrefix)) return std::nullopt;
  const std::string_view name = id.substr(kPrefix.size());
  if (name.empty()) {
    return Result<std::shared_ptr<Device>>(Failure{
        FailureKind::kNotFound, "net: needs the name of a registered source, as in net:phone"});
  }
  for (const NetworkCameraEntry& source : list_()) {
    if (source.name == name) return Result<std::shared_ptr<Device>>(device_for(source));
  }
  const std::string shown = clip_for_message(name, 40);
  return Result<std::shared_ptr<Device>>(
      Failure{FailureKind::kNotFound, "no source named " + shown + ": register it with tirvane " +
                                          "add-source " + shown + " URL, or see tirvane sources"});
}

}  // namespace app::net
