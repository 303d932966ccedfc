// The webcams: every /dev/video* node that offers video capture, by node number.
//
// Metadata nodes (a UVC camera has one beside its picture node), output-only nodes and nodes
// this backend cannot stream from are left out. A node that cannot be opened (no permission,
// busy, failing) is still listed, its name saying why, so that "no cameras" is never the answer
// when a camera is plugged in but unusable.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "app/device_provider.h"
#include "app/v4l2/device_layer.h"
#include "app/v4l2/v4l2_camera.h"

namespace app::v4l2 {

struct WebcamOptions {
  std::filesystem::path root = "/dev";  // where the video<N> nodes are
  CameraOptions camera;
};

class WebcamProvider final : public DeviceProvider {
 public:
  explicit WebcamProvider(std::shared_ptr<DeviceLayer> layer = kernel_device_layer(),
                          WebcamOptions options = {});

  std::vector<std::shared_ptr<Device>> devices() override;
  // Ids made of digits are webcams: "0" is /dev/video0.
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

 private:
  struct Known {
    std::string identity;  // driver, card and bus: a different camera on a reused node differs
    std::shared_ptr<V4l2Camera> camera;
  };

  std::shared_ptr<V4l2Camera> camera_for(int node, const std::string& identity, DeviceInfo info);

  const std::shared_ptr<DeviceLayer> layer_;
  const WebcamOptions options_;
  std::mutex mutex_;
  std::map<int, Known> known_;  // cameras handed out, kept so their open streams are shared
};

}  // namespace app::v4l2
