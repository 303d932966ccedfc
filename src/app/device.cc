#include "app/device.h"

#include "app/client_watch.h"

namespace app {

DeviceInfo Device::info() const {
  {
    std::lock_guard lock(info_mutex_);
    if (info_) return *info_;
  }
  // Not described yet: the first description waits for a running operation, once.
  std::lock_guard lock(mutex_);
  refresh_info();
  std::lock_guard info_lock(info_mutex_);
  return *info_;
}

void Device::refresh_info() const {
  DeviceInfo described = describe();
  std::lock_guard lock(info_mutex_);
  info_ = std::move(described);
}

Result<JpegFrame> Device::capture_jpeg(const FrameRequest& request) {
  std::lock_guard lock(mutex_);
  // Requests left behind by their clients while the device was busy are not served at all.
  if (client_gone()) return client_gone_failure();
  Result<JpegFrame> frame = take_jpeg(request);
  refresh_info();
  return frame;
}

Result<Image> Device::capture_gray() {
  std::lock_guard lock(mutex_);
  Result<Image> gray = take_gray();
  refresh_info();
  return gray;
}

Result<std::vector<ControlInfo>> Device::controls() {
  std::lock_guard lock(mutex_);
  Result<std::vector<ControlInfo>> listed = list_controls();
  refresh_info();
  return listed;
}

Result<ControlChange> Device::set_control(std::string_view name, std::int64_t value) {
  std::lock_guard lock(mutex_);
  Result<ControlChange> change = change_control(name, value);
  refresh_info();
  return change;
}

std::string Device::label() const { return "camera " + describe().id; }

Result<Image> Device::take_gray() {
  return Failure{FailureKind::kBadRequest, label() + " has no focus to sweep"};
}

Result<std::vector<ControlInfo>> Device::list_controls() { return std::vector<ControlInfo>{}; }

Result<ControlChange> Device::change_control(std::string_view name, std::int64_t) {
  return Failure{FailureKind::kBadRequest,
                 label() + " has no controls (no " + std::string(name) + " to set)"};
}

}  // namespace app
