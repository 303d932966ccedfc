// A camera's controls under short, stable names.
//
// Controls are matched by their V4L2 id, never by the driver's text: drivers rename them (kernel
// 5.16 turned "Focus, Auto" into "Focus, Automatic Continuous"). A control with no short name
// is offered under its driver name made into a word ("Exposure, Dynamic Framerate" becomes
// exposure_dynamic_framerate).
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "app/device.h"
#include "app/failure.h"
#include "app/v4l2/camera_failure.h"
#include "app/v4l2/device_layer.h"

namespace app::v4l2 {

struct CameraControl {
  ControlInfo info;  // short name, range, step, default and current value
  std::uint32_t id = 0;
  std::uint32_t type = 0;   // V4L2_CTRL_TYPE_*
  std::uint32_t flags = 0;  // V4L2_CTRL_FLAG_*
};

// The short name of a control id ("focus" for V4L2_CID_FOCUS_ABSOLUTE), or empty.
std::string_view short_control_name(std::uint32_t id);

// The camera's integer, boolean and menu controls with their current values, in the driver's
// order; disabled, write-only and button controls are left out, and so is a control whose
// value cannot be read.
Result<std::vector<CameraControl>> query_controls(DeviceLayer& layer, int fd,
                                                  const CameraRef& camera);

// Checks the value against the control's range, step and menu, switches the control's
// automatic mode off first where it has one (autofocus for focus, auto exposure for exposure,
// ...; drivers refuse or ignore manual values otherwise), sets it, and reads back what the
// driver kept.
Result<ControlChange> set_camera_control(DeviceLayer& layer, int fd, const CameraRef& camera,
                                         std::string_view name, std::int64_t value);

}  // namespace app::v4l2
