// The registered phones and IP cameras as devices "net:<name>". The registry of sources lives
// elsewhere; this asks it for the current list at every call, so a source registered or
// forgotten a moment ago is seen at once.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/device_provider.h"
#include "app/net/http_fetch.h"
#include "app/net/network_camera.h"
#include "app/network_camera_entry.h"

namespace app::net {

using SourceList = std::function<std::vector<NetworkCameraEntry>()>;

class NetworkCameraProvider : public DeviceProvider {
 public:
  // `list` must be safe to call from any thread; it is called at every devices() and find().
  explicit NetworkCameraProvider(SourceList list, FetchLimits limits = {});

  // One device per registered source, in the registry's order.
  std::vector<std::shared_ptr<Device>> devices() override;

  // "net:NAME": that source's device, or a 404 when none is registered under NAME. Other ids:
  // nothing. While a source keeps its name and URL it stays the same device object, so calls on
  // it are serialised through its `busy`; a changed URL or insecure flag makes a new one.
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

 private:
  std::shared_ptr<NetworkCamera> device_for(const NetworkCameraEntry& source);

  SourceList list_;
  FetchLimits limits_;
  std::mutex mutex_;
  std::map<std::string, std::shared_ptr<NetworkCamera>, std::less<>> cameras_;
};

}  // namespace app::net
