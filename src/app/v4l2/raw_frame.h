// Uncompressed camera frames (YUYV and NV12): encoded to JPEG through libjpeg-turbo's planar
// YUV input, so no RGB conversion happens, and their luma taken as a gray image for measuring.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "app/failure.h"
#include "app/image.h"
#include "app/pixel_scaler.h"

namespace app::v4l2 {

// One frame as the driver laid it out (single-planar V4L2 buffer).
struct RawFrame {
  std::uint32_t fourcc = 0;  // V4L2_PIX_FMT_YUYV or V4L2_PIX_FMT_NV12
  int width = 0;
  int height = 0;
  std::size_t stride = 0;    // bytesperline of the first plane
  bool limited_range = true; // luma 16..235, chroma 16..240, as V4L2 assumes for YUV by default
  std::string_view bytes;
};

// The bytes a whole frame of this layout takes; a buffer with fewer is cut short.
std::size_t raw_frame_size(std::uint32_t fourcc, std::size_t stride, int height);

Result<std::string> encode_raw_frame(const RawFrame& frame, int quality);

// The frame converted and scaled to exactly width x height on the way, as a JPEG.
Result<std::string> encode_raw_frame_scaled(const RawFrame& frame, int width, int height,
                                            int quality, PixelScaler& scaler);

// The luma, box-averaged down by `reduce` (1, 2, 4 or 8) in each direction.
Image raw_frame_gray(const RawFrame& frame, int reduce);

}  // namespace app::v4l2
