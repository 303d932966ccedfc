// How the fake camera's frames are laid out and made: the scene in the camera's pixel format,
// as the kernel would hand it over. Used by the fake device layer (fake_camera.cc).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "fake_camera.h"

namespace fake_v4l2 {

// MJPEG or JPEG.
bool is_compressed(std::uint32_t fourcc);

// Bytes per row of a raw format at `width`, padding included; 0 for compressed formats.
std::size_t stride_of(const Camera& camera, int width);

// The buffer size a frame of the camera's current format needs.
std::size_t image_size_of(const Camera& camera);

// `picture` in the camera's current format and size.
std::vector<std::uint8_t> encode_frame(const Camera& camera, const app::Image& picture);

}  // namespace fake_v4l2
