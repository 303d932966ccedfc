// Something that offers devices: the webcams, the screen, the registered network cameras, the
// built-in test camera. The device registry asks each provider in turn, from many request
// threads at once, so both calls must be safe to make concurrently.
#pragma once

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

#include "app/device.h"

namespace app {

class DeviceProvider {
 public:
  virtual ~DeviceProvider() = default;

  // The devices it can offer now, in listing order.
  virtual std::vector<std::shared_ptr<Device>> devices() = 0;

  // For an id of this provider's form: the device, or a Failure that says why it cannot be had
  // ("no X display: ...", "no source named phone"). Nothing when the id is not of its form.
  virtual std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) = 0;
};

}  // namespace app
