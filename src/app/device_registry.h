// Every capture device the service offers, gathered from its sources in listing order (webcams,
// the screen, network cameras, the test camera), and the lookup of a device by its id.
#pragma once

#include <memory>
#include <string_view>
#include <vector>

#include "app/device.h"
#include "app/device_source.h"

namespace app {

// Whether a source's devices may stand in when a request names no device.
enum class DefaultUse { kCandidate, kNamedOnly };

struct RegisteredSource {
  std::shared_ptr<DeviceSource> source;
  DefaultUse use = DefaultUse::kCandidate;
};

// Safe to use from many request threads at once, as long as its sources are.
class DeviceRegistry {
 public:
  explicit DeviceRegistry(std::vector<RegisteredSource> sources);

  // Every device, source by source in order.
  std::vector<std::shared_ptr<Device>> devices() const;

  // The best available device: the first device of the first candidate source that has one.
  // With the test camera last, that is the first real camera, else the test camera.
  Result<std::shared_ptr<Device>> best() const;

  // The device with this id ("" means the best available). The first source that knows the id's
  // form answers, with the device or with why it cannot be had; an id no source knows is a 404
  // "no such camera: ID".
  Result<std::shared_ptr<Device>> find(std::string_view id) const;

 private:
  std::vector<RegisteredSource> sources_;
};

}  // namespace app
