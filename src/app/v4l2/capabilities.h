// What a V4L2 node says it can do, read the same way wherever it is asked.
#pragma once

#include <linux/videodev2.h>

#include <cstdint>

namespace app::v4l2 {

// The node's own capabilities when the driver reports them, else those of the whole device.
inline std::uint32_t offered_capabilities(const v4l2_capability& caps) {
  return (caps.capabilities & V4L2_CAP_DEVICE_CAPS) ? caps.device_caps : caps.capabilities;
}

// True for a node that captures video through streaming I/O: a camera this service can use.
inline bool captures_by_streaming(const v4l2_capability& caps) {
  const std::uint32_t offered = offered_capabilities(caps);
  return (offered & V4L2_CAP_VIDEO_CAPTURE) && (offered & V4L2_CAP_STREAMING);
}

}  // namespace app::v4l2
