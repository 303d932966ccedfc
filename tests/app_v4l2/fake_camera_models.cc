#include "fake_camera.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace fake_v4l2 {
namespace {

constexpr std::uint32_t kVendorControl = V4L2_CID_USER_BASE + 0x1000;

Control integer(std::uint32_t id, std::string name, std::int32_t min, std::int32_t max,
                std::int32_t step, std::int32_t value) {
  Control control;
  control.id = id;
  control.name = std::move(name);
  control.type = V4L2_CTRL_TYPE_INTEGER;
  control.min = min;
  control.max = max;
  control.step = step;
  control.default_value = value;
  control.value = value;
  return control;
}

Control boolean(std::uint32_t id, std::string name, std::int32_t value) {
  Control control = integer(id, std::move(name), 0, 1, 1, value);
  control.type = V4L2_CTRL_TYPE_BOOLEAN;
  return control;
}

Control menu(std::uint32_t id, std::string name, std::vector<std::int32_t> items,
             std::int32_t value) {
  Control control = integer(id, std::move(name), 0, items.back(), 1, value);
  control.type = V4L2_CTRL_TYPE_MENU;
  control.menu = std::move(items);
  return control;
}

}  // namespace

const Control* Camera::control(std::uint32_t id) const {
  for (const Control& c : controls) {
    if (c.id == id) return &c;
  }
  return nullptr;
}

Control* Camera::control(std::uint32_t id) {
  return const_cast<Control*>(static_cast<const Camera*>(this)->control(id));
}

Camera uvc_webcam() {
  Camera camera;
  camera.caps = V4L2_CAP_VIDEO_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
  camera.formats = {
      {V4L2_PIX_FMT_YUYV, {{640, 480}, {320, 240}}},
      {V4L2_PIX_FMT_MJPEG, {{1920, 1080}, {1280, 720}, {640, 480}}},
  };
  camera.fourcc = V4L2_PIX_FMT_YUYV;
  camera.size = {640, 480};
  Control camera_class;  // a class heading, which lists as a control but is none
  camera_class.id = V4L2_CID_CAMERA_CLASS;
  camera_class.name = "Camera Controls";
  camera_class.type = V4L2_CTRL_TYPE_CTRL_CLASS;
  camera_class.flags = V4L2_CTRL_FLAG_READ_ONLY | V4L2_CTRL_FLAG_WRITE_ONLY;
  Control exposure = integer(V4L2_CID_EXPOSURE_ABSOLUTE, "Exposure Time, Absolute", 3, 2047, 1, 250);
  exposure.flags = V4L2_CTRL_FLAG_INACTIVE;
  Control focus = integer(V4L2_CID_FOCUS_ABSOLUTE, "Focus, Absolute", 0, 250, 5, 0);
  focus.flags = V4L2_CTRL_FLAG_INACTIVE;
  Control white_balance =
      integer(V4L2_CID_WHITE_BALANCE_TEMPERATURE, "White Balance Temperature", 2000, 6500, 1, 4000);
  white_balance.flags = V4L2_CTRL_FLAG_INACTIVE;
  camera.controls = {
      integer(V4L2_CID_BRIGHTNESS, "Brightness", 0, 255, 1, 128),
      integer(V4L2_CID_CONTRAST, "Contrast", 0, 255, 1, 128),
      integer(V4L2_CID_SATURATION, "Saturation", 0, 255, 1, 128),
      boolean(V4L2_CID_AUTO_WHITE_BALANCE, "White Balance, Automatic", 1),
      integer(V4L2_CID_GAIN, "Gain", 0, 255, 1, 0),
      menu(V4L2_CID_POWER_LINE_FREQUENCY, "Power Line Frequency", {0, 1, 2}, 2),
      white_balance,
      integer(V4L2_CID_SHARPNESS, "Sharpness", 0, 255, 1, 128),
      camera_class,
      menu(V4L2_CID_EXPOSURE_AUTO, "Auto Exposure", {1, 3}, 3),
      exposure,
      boolean(V4L2_CID_EXPOSURE_AUTO_PRIORITY, "Exposure, Dynamic Framerate", 0),
      focus,
      boolean(V4L2_CID_FOCUS_AUTO, "Focus, Automatic Continuous", 1),
      integer(V4L2_CID_ZOOM_ABSOLUTE, "Zoom, Absolute", 100, 500, 1, 100),
      menu(kVendorControl, "LED1 Mode", {0, 1, 2, 3}, 3),
  };
  std::sort(camera.controls.begin(), camera.controls.end(),
            [](const Control& a, const Control& b) { return a.id < b.id; });
  return camera;
}

Camera webcam_with(std::vector<Format> formats) {
  Camera camera = uvc_webcam();
  camera.formats = std::move(formats);
  camera.fourcc = camera.formats.front().fourcc;
  camera.size = {camera.formats.front().sizes.front().width,
                 camera.formats.front().sizes.front().height};
  return camera;
}

Camera metadata_node() {
  Camera camera;
  camera.caps = V4L2_CAP_META_CAPTURE | V4L2_CAP_STREAMING | V4L2_CAP_EXT_PIX_FORMAT;
  return camera;
}

}  // namespace fake_v4l2
