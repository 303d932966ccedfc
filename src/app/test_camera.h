// The built-in test camera, id "test": a camera that is always there, pointed at a test chart
// (see test_scene.h). Its controls act on the picture as a real camera's would: focus blurs it in
// proportion to the distance from the position where it is sharp, zoom narrows the view,
// exposure and brightness change the levels. Because the blur is real image processing, a focus
// sweep over it measures real sharpness.
#pragma once

#include <cstdint>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <tuple>

#include "app/device.h"
#include "app/device_provider.h"

namespace app {

inline constexpr std::string_view kTestCameraId = "test";

class TestCamera : public Device {
 public:
  // `width` x `height` is the frame size when a request names none.
  TestCamera(int width = 1280, int height = 720);

  // The focus position at which the chart is sharp. Like many real zoom lenses, this one shifts
  // focus as it zooms: 150 at zoom 100, moving down by 1 for every 5 of zoom.
  std::int64_t sharp_focus() const;

  // The chart as the lens and sensor show it now, at width x height, in RGB or gray.
  Image render(int width, int height, PixelFormat format);

 private:
  DeviceInfo describe() const override;
  Result<JpegFrame> take_jpeg(const FrameRequest& request) override;
  Result<Image> take_gray() override;
  Result<std::vector<ControlInfo>> list_controls() override;
  Result<ControlChange> change_control(std::string_view name, std::int64_t value) override;
  // It renders in bounded time and waits on nothing, so a queue of any length moves.
  int waiting_limit() const override { return std::numeric_limits<int>::max(); }

  // The chart at that size and the current zoom, from the kept ones when it is there.
  Image chart(int width, int height);

  int width_, height_;
  std::vector<ControlInfo> controls_;
  std::uint64_t frames_ = 0;
  // Rendered charts by size and zoom; some are kept, within a bound on their bytes, since the
  // chart takes far longer to draw than to copy.
  std::map<std::tuple<int, int, std::int64_t>, Image> charts_;
};

// The source that offers the test camera.
class TestCameraProvider : public DeviceProvider {
 public:
  explicit TestCameraProvider(std::shared_ptr<TestCamera> camera);
  std::vector<std::shared_ptr<Device>> devices() override;
  std::optional<Result<std::shared_ptr<Device>>> find(std::string_view id) override;

 private:
  std::shared_ptr<TestCamera> camera_;
};

}  // namespace app
