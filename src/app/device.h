// A capture device as the service's endpoints see it. The test camera, the screen, network
// cameras and webcams each implement this; the device registry lists and finds them by id.
//
// A device serialises the calls made on it by itself (see Device), so neither callers nor
// implementations lock for them; different devices run concurrently.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "app/failure.h"
#include "app/image.h"

namespace app {

struct DeviceInfo {
  std::string id;    // "test", "screen", "net:<name>", or a webcam's number
  std::string name;  // for people
  bool focusable = false;
  std::optional<int> width;  // the current or natural frame size, when known
  std::optional<int> height;
};

struct ControlInfo {
  std::string name;  // short name: focus, zoom, exposure, brightness, ...
  std::int64_t min = 0;
  std::int64_t max = 0;
  std::int64_t step = 1;
  std::int64_t default_value = 0;
  std::int64_t value = 0;
};

struct ControlChange {
  std::string control;
  std::int64_t value = 0;
  std::int64_t was = 0;
};

// Asked size; absent means the device's own default.
struct FrameRequest {
  std::optional<int> width;
  std::optional<int> height;
};

// A response header the service adds to an answer, e.g. the size a camera chose instead of the
// one asked for.
using Header = std::pair<std::string, std::string>;

struct JpegFrame {
  std::string bytes;
  int width = 0;
  int height = 0;
  std::vector<Header> headers;
};

// How a frame request that names no size is served.
enum class DefaultFrameSize {
  kServiceSetting,  // the service's configured size (a camera that can deliver many sizes)
  kNatural,         // the device's own picture as it is (the whole screen, a network camera)
};

// The lens of a device during a focus sweep: the device's lock is held for the whole sweep, and
// these calls reach the device's implementation directly. See focus_sweep.h.
class FocusLens {
 public:
  virtual ~FocusLens() = default;
  virtual std::string id() const = 0;
  virtual Result<Image> capture_gray() = 0;
  virtual Result<std::vector<ControlInfo>> controls() = 0;
  virtual Result<ControlChange> set_control(std::string_view name, std::int64_t value) = 0;
  virtual std::chrono::milliseconds focus_settle_time() const = 0;
  // When the exposure of the last gray frame began, where the device can tell (a webcam's driver
  // stamps its frames): a frame exposed wholly after the lens came to rest shows it at rest.
  virtual std::optional<std::chrono::steady_clock::time_point> exposure_began() const {
    return std::nullopt;
  }
};

// A device guards itself: every public call below takes the device's own lock for its whole
// length, so calls on one device are serialised and an implementation never locks for them;
// different devices run concurrently. Implementations override the private virtuals, which are
// only ever called with that lock held, apart from settle_time(), frame_size_rule() and
// waiting_limit(): those answer from what the device is made with, and are called without it.
// Safe to call from many threads. At most waiting_limit() calls wait for the lock; more are
// refused at once.
//
// Only describe() and take_jpeg() must be written; a device without gray frames, controls or
// a focus motor inherits refusals that say so.
// Requests that may wait for one device at once; more are refused at once (503), so a stalled
// device holds a bounded number of the service's threads. Devices that never wait on anything
// outside the service (the test camera) take any number.
inline constexpr int kMaxWaitingForDevice = 8;

class Device {
 public:
  virtual ~Device() = default;

  // What the device is, as of its last operation: a copy the device refreshes after each call,
  // so it does not wait for a running operation (only the very first call may).
  DeviceInfo info() const;

  // One fresh frame as a JPEG.
  Result<JpegFrame> capture_jpeg(const FrameRequest& request);

  // One fresh frame in gray, at a reduced size that is fast to measure.
  Result<Image> capture_gray();

  Result<std::vector<ControlInfo>> controls();
  // Sets a control after checking it exists and the value is in range.
  Result<ControlChange> set_control(std::string_view name, std::int64_t value);

  // Runs `operation` with the device's lock held for its whole length, giving it the device's
  // lens (gray frames, controls, settle time) without further locking. The focus sweep runs so.
  template <class Operation>
  auto with_lens(Operation&& operation) {
    std::lock_guard lock(mutex_);
    Lens lens(*this);
    auto result = operation(static_cast<FocusLens&>(lens));
    refresh_info();
    return result;
  }

  // The longest a lens may take to come to rest after a focus change. The sweep takes frames
  // until the picture holds still, at most this long; 0: the lens is there at once.
  std::chrono::milliseconds focus_settle_time() const { return settle_time(); }

  // What a frame request without a size gets.
  DefaultFrameSize default_frame_size() const { return frame_size_rule(); }

 protected:
  // For a device's own extra calls (connecting, say): hold this while touching what the
  // private virtuals use, and call refresh_info() before letting go when the description may
  // have changed.
  std::mutex& device_mutex() const { return mutex_; }
  // Takes a new copy of describe(); the caller holds device_mutex().
  void refresh_info() const;

 private:
  class Lens final : public FocusLens {
   public:
    explicit Lens(Device& device) : device_(device) {}
    std::string id() const override { return device_.describe().id; }
    Result<Image> capture_gray() override { return device_.take_gray(); }
    Result<std::vector<ControlInfo>> controls() override { return device_.list_controls(); }
    Result<ControlChange> set_control(std::string_view name, std::int64_t value) override {
      return device_.change_control(name, value);
    }
    std::chrono::milliseconds focus_settle_time() const override { return device_.settle_time(); }
    std::optional<std::chrono::steady_clock::time_point> exposure_began() const override {
      return device_.gray_exposure_began();
    }

   private:
    Device& device_;
  };

  // The device as it is now.
  virtual DeviceInfo describe() const = 0;
  // How refusals name the device: "camera <id>" unless overridden ("the screen").
  virtual std::string label() const;
  virtual Result<JpegFrame> take_jpeg(const FrameRequest& request) = 0;
  // By default: refused (400), there is nothing to measure focus on.
  virtual Result<Image> take_gray();
  // By default: no controls, and setting any is refused (400).
  virtual Result<std::vector<ControlInfo>> list_controls();
  virtual Result<ControlChange> change_control(std::string_view name, std::int64_t value);
  virtual std::chrono::milliseconds settle_time() const { return {}; }
  // When the last gray frame's exposure began, if the device knows; called with the lock held.
  virtual std::optional<std::chrono::steady_clock::time_point> gray_exposure_began() const {
    return std::nullopt;
  }
  virtual DefaultFrameSize frame_size_rule() const { return DefaultFrameSize::kServiceSetting; }
  // How many requests may wait for the device's lock; called without it.
  virtual int waiting_limit() const { return kMaxWaitingForDevice; }

  // Takes `lock` (on mutex_), or refuses when kMaxWaitingForDevice requests wait for it already.
  std::optional<Failure> wait_for_turn(std::unique_lock<std::mutex>& lock);

  mutable std::mutex mutex_;       // held for every call into the private virtuals
  std::atomic<int> waiting_{0};    // requests waiting for mutex_
  mutable std::mutex info_mutex_;  // guards info_ alone; never held while waiting for mutex_
  mutable std::optional<DeviceInfo> info_;
};

}  // namespace app
