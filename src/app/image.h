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

// Pictures declaring more pixels than this are never decoded: a few hundred bytes of JPEG can
// declare 40000x40000, and decoding that would take gigabytes. 24 megapixels (6000x4000) keeps
// the decoding of one picture and its rescaled copy within 256 MiB, progressive ones included.
inline constexpr std::int64_t kMaxDecodedPixels = std::int64_t{6000} * 4000;

// Why a picture of `size` is not decoded ("a 40000x40000 picture, more than the 24-megapixel
// limit"), or nothing when it may be.
std::optional<std::string> too_large_to_decode(JpegSize size);

// Decodes to `format`, or to gray scaled down by 1/`reduce` (1, 2, 4 or 8) for measuring.
// A picture beyond kMaxDecodedPixels is refused from its header, before anything is allocated.
Result<Image> decode_jpeg(std::string_view bytes, PixelFormat format = PixelFormat::kRgb,
                          int reduce = 1);

}  // namespace app
