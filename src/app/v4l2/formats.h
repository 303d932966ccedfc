// The pixel formats and frame sizes a camera offers, and the choice of one for a request.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "app/device.h"
#include "app/failure.h"
#include "app/v4l2/camera_failure.h"
#include "app/v4l2/device_layer.h"

namespace app::v4l2 {

struct FrameSize {
  int width = 0;
  int height = 0;
  friend bool operator==(const FrameSize&, const FrameSize&) = default;
};

// A stepwise or continuous size range, as some drivers describe it instead of a list.
struct SizeRange {
  FrameSize min;
  FrameSize max;
  int step_width = 1;
  int step_height = 1;
};

struct OfferedFormat {
  std::uint32_t fourcc = 0;
  std::vector<FrameSize> sizes;    // the discrete sizes offered
  std::optional<SizeRange> range;  // or a range; neither means the driver did not say
};

struct FormatChoice {
  std::uint32_t fourcc = 0;
  FrameSize size;
  friend bool operator==(const FormatChoice&, const FormatChoice&) = default;
};

// The formats this backend can serve (MJPEG, JPEG, YUYV, NV12) among those the camera offers,
// most preferred first; the camera's other formats are left out.
Result<std::vector<OfferedFormat>> enumerate_formats(DeviceLayer& layer, int fd,
                                                     const CameraRef& camera);

// The format and size to ask the driver for. For an asked size (a box, or one side of it): the
// mode whose picture, fitted inside the box with its aspect kept and never enlarged, is
// largest, so the smallest mode that covers the box (in the box's aspect where one does); of
// modes alike, the smaller, then the preferred format (MJPEG wins whenever it offers the size).
// Without one: the offered size nearest the current one (else the largest), the preferred
// format at equal distance. Nothing when no format is offered.
std::optional<FormatChoice> choose_format(const std::vector<OfferedFormat>& offered,
                                          const FrameRequest& request, FrameSize current);

bool is_jpeg_format(std::uint32_t fourcc);
std::string fourcc_name(std::uint32_t fourcc);  // "MJPG", "YUYV", ...

}  // namespace app::v4l2
