// A capture device as the service's endpoints see it. The test camera, the screen, network
// cameras and webcams each implement this; the device registry lists and finds them by id.
//
// Calls on one device are serialised by the caller (it holds `busy` for the whole operation), so
// an implementation need not lock; different devices run concurrently.
#pragma once

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

class Device {
 public:
  virtual ~Device() = default;

  virtual DeviceInfo info() const = 0;

  // One fresh frame as a JPEG.
  virtual Result<JpegFrame> capture_jpeg(const FrameRequest& request) = 0;

  // One fresh frame in gray, at a reduced size that is fast to measure; used by the focus sweep.
  virtual Result<Image> capture_gray() = 0;

  virtual Result<std::vector<ControlInfo>> controls() = 0;
  // Sets a control after checking it exists and the value is in range.
  virtual Result<ControlChange> set_control(std::string_view name, std::int64_t value) = 0;

  // The longest a lens may take to come to rest after a focus change. The sweep takes frames
  // until the picture holds still, at most this long; 0: the lens is there at once.
  virtual std::chrono::milliseconds focus_settle_time() const { return {}; }

  std::mutex busy;
};

}  // namespace app
