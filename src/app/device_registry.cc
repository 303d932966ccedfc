#include "app/device_registry.h"

#include <string>

#include "app/text.h"

namespace app {

DeviceRegistry::DeviceRegistry(std::vector<RegisteredProvider> providers)
    : providers_(std::move(providers)) {}

std::vector<std::shared_ptr<Device>> DeviceRegistry::devices() const {
  std::vector<std::shared_ptr<Device>> all;
  for (const RegisteredProvider& entry : providers_) {
    for (auto& device : entry.provider->devices()) all.push_back(std::move(device));
  }
  return all;
}

Result<std::shared_ptr<Device>> DeviceRegistry::best() const {
  for (const RegisteredProvider& entry : providers_) {
    if (entry.use != DefaultUse::kCandidate) continue;
    auto devices = entry.provider->devices();
    if (!devices.empty()) return devices.front();
  }
  return Failure{FailureKind::kUnavailable, "no camera is available"};
}

Result<std::shared_ptr<Device>> DeviceRegistry::find(std::string_view id) const {
  if (id.empty()) return best();
  for (const RegisteredProvider& entry : providers_) {
    if (auto found = entry.provider->find(id)) return *found;
  }
  return Failure{FailureKind::kNotFound, "no such camera: " + clip_for_message(id)};
}

}  // namespace app
