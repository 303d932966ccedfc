// Every capture device the service offers, gathered from its providers in listing order (webcams,
// the screen, network cameras, the test camera), and the lookup of a device by its id.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "app/device.h"
#include "app/device_provider.h"

namespace app {

// Whether a provider's devices may stand in when a request names no device.
enum class DefaultUse { kCandidate, kNamedOnly };

struct RegisteredProvider {
  std::shared_ptr<DeviceProvider> provider;
  DefaultUse use = DefaultUse::kCandidate;
};

// Safe to use from many request threads at once, as long as its providers are.
class DeviceRegistry {
 public:
  explicit DeviceRegistry(std::vector<RegisteredProvider> providers);

  // Every device, provider by provider in order.
  std::vector<std::shared_ptr<Device>> devices() const;

  // The best available device: the first device of the first candidate provider that has one.
  // With the test camera last, that is the first real camera, else the test camera.
  Result<std::shared_ptr<Device>> best() const;

  // The device with this id ("" means the best available). The first provider that knows the id's
  // form answers, with the device or with why it cannot be had; an id no provider knows is a 404
  // "no such camera: ID".
  Result<std::shared_ptr<Device>> find(std::string_view id) const;

 private:
  std::vector<RegisteredProvider> providers_;
};

}  // namespace app
