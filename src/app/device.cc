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

std::optional<Failure> Device::wait_for_turn(std::unique_lock<std::mutex>& lock) {
  // Described before its first operation, so that requests refused while that one runs (and
  // perhaps stalls) can name the device.
  const auto describe_once = [this] {
    {
      std::lock_guard info_lock(info_mutex_);
      if (info_) return;
    }
    refresh_info();
  };
  if (lock.try_lock()) {
    describe_once();
    return std::nullopt;
  }
  const int limit = waiting_limit();
  if (waiting_.fetch_add(1) >= limit) {
    --waiting_;
    std::string name = "the device";
    {
      std::lock_guard info_lock(info_mutex_);
      if (info_) name = "device " + info_->id;
    }
    return Failure{FailureKind::kUnavailable,
                   name + " is busy: " + std::to_string(limit) +
                       " requests are already waiting for it; try again later"};
  }
  lock.lock();
  --waiting_;
  describe_once();
  return std::nullopt;
}

Result<JpegFrame> Device::capture_jpeg(const FrameRequest& request) {
  std::unique_lock lock(mutex_, std::defer_lock);
  if (auto busy = wait_for_turn(lock)) return *busy;
  // Requests left behind by their clients while the device was busy are not served at all.
  if (client_gone()) return client_gone_failure();
  Result<JpegFrame> frame = take_jpeg(request);
  refresh_info();
  return frame;
}

Result<Image> Device::capture_gray() {
  std::unique_lock lock(mutex_, std::defer_lock);
  if (auto busy = wait_for_turn(lock)) return *busy;
  Result<Image> gray = take_gray();
  refresh_info();
  return gray;
}

Result<std::vector<ControlInfo>> Device::controls() {
  std::unique_lock lock(mutex_, std::defer_lock);
  if (auto busy = wait_for_turn(lock)) return *busy;
  Result<std::vector<ControlInfo>> listed = list_controls();
  refresh_info();
  return listed;
}

Result<ControlChange> Device::set_control(std::string_view name, std::int64_t value) {
  std::unique_lock lock(mutex_, std::defer_lock);
  if (auto busy = wait_for_turn(lock)) return *busy;
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
