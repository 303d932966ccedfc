// Raw images in memory, and the JPEG coding of them through libjpeg-turbo.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/failure.h"

namespace app {

enum class PixelFormat { kRgb, kBgrx, kGray };

std::size_t bytes_per_pixel(PixelFormat format);

// Pixels row by row; a row is `stride` bytes (at least width * bytes_per_pixel).
struct Image {
  int width = 0;
  int height = 0;
  PixelFormat format = PixelFormat::kRgb;
  std::size_t stride = 0;
  std::vector<std::uint8_t> pixels;
};

// A width x height image of `format` with tight rows, all zero.
Image make_image(int width, int height, PixelFormat format);


// A view of pixels owned elsewhere (a shared-memory screen grab, a camera buffer).
struct PixelView {
  const std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  std::size_t stride = 0;
  PixelFormat format = PixelFormat::kRgb;
};

PixelView view_of(const Image& image);

// Baseline JPEG, 4:2:0 chroma (gray stays gray), quality 1..100.
Result<std::string> encode_jpeg(const PixelView& image, int quality = 90);

struct JpegSize {
  int width = 0;
  int height = 0;
};

// The size in the JPEG's frame header, when `bytes` starts with the JPEG start-of-image marker
// and its header decodes; else nothing.
std::optional<JpegSize> jpeg_size(std::string_view bytes);

// True when jpeg_size() finds a JPEG header with a size.
bool looks_like_jpeg(std::string_view bytes);

// Decodes to `format`, or to gray scaled down by 1/`reduce` (1, 2, 4 or 8) for measuring.
Result<Image> decode_jpeg(std::string_view bytes, PixelFormat format = PixelFormat::kRgb,
                          int reduce = 1);

}  // namespace app
