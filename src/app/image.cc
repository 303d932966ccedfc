#include "app/image.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <memory>

namespace app {
namespace {

int turbo_format(PixelFormat format) {
  switch (format) {
    case PixelFormat::kRgb: return TJPF_RGB;
    case PixelFormat::kBgrx: return TJPF_BGRX;
    case PixelFormat::kGray: return TJPF_GRAY;
  }
  return TJPF_RGB;
}

struct HandleCloser {
  void operator()(void* handle) const { tjDestroy(handle); }
};
using TurboHandle = std::unique_ptr<void, HandleCloser>;

std::string turbo_error(void* handle, const char* what) {
  return std::string(what) + ": " + tjGetErrorStr2(handle);
}

}  // namespace

std::size_t bytes_per_pixel(PixelFormat format) {
  switch (format) {
    case PixelFormat::kRgb: return 3;
    case PixelFormat::kBgrx: return 4;
    case PixelFormat::kGray: return 1;
  }
  return 3;
}

Image make_image(int width, int height, PixelFormat format) {
  Image image;
  image.width = width;
  image.height = height;
  image.format = format;
  image.stride = static_cast<std::size_t>(width) * bytes_per_pixel(format);
  image.pixels.assign(image.stride * static_cast<std::size_t>(height), 0);
  return image;
}

PixelView view_of(const Image& image) {
  return PixelView{image.pixels.data(), image.width, image.height, image.stride, image.format};
}

Result<std::string> encode_jpeg(const PixelView& image, int quality) {
  TurboHandle handle(tjInitCompress());
  if (!handle) return Failure{FailureKind::kInternal, "cannot start the JPEG encoder"};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  const int subsampling = image.format == PixelFormat::kGray ? TJSAMP_GRAY : TJSAMP_420;
  if (tjCompress2(handle.get(), image.pixels, image.width, static_cast<int>(image.stride),
                  image.height, turbo_format(image.format), &jpeg, &size, subsampling, quality,
                  TJFLAG_FASTDCT) != 0) {
    std::string message = turbo_error(handle.get(), "cannot encode the JPEG");
    tjFree(jpeg);
    return Failure{FailureKind::kInternal, message};
  }
  std::string bytes(reinterpret_cast<const char*>(jpeg), size);
  tjFree(jpeg);
  return bytes;
}

std::optional<JpegSize> jpeg_size(std::string_view bytes) {
  if (bytes.size() < 4 || static_cast<unsigned char>(bytes[0]) != 0xFF ||
      static_cast<unsigned char>(bytes[1]) != 0xD8) {
    return std::nullopt;
  }
  TurboHandle handle(tjInitDecompress());
  JpegSize size;
  int subsampling = 0, colorspace = 0;
  if (!handle ||
      tjDecompressHeader3(handle.get(), reinterpret_cast<const unsigned char*>(bytes.data()),
                          static_cast<unsigned long>(bytes.size()), &size.width, &size.height,
                          &subsampling, &colorspace) != 0 ||
      size.width <= 0 || size.height <= 0) {
    return std::nullopt;
  }
  return size;
}

std::optional<std::string> too_large_to_decode(JpegSize size) {
  if (static_cast<std::int64_t>(size.width) * size.height <= kMaxDecodedPixels) return std::nullopt;
  return "a " + std::to_string(size.width) + "x" + std::to_string(size.height) +
         " picture, more than the " + std::to_string(kMaxDecodedPixels / 1000000) +
         "-megapixel limit";
}

bool looks_like_jpeg(std::string_view bytes) { return jpeg_size(bytes).has_value(); }

Result<Image> decode_jpeg(std::string_view bytes, PixelFormat format, int reduce) {
  TurboHandle handle(tjInitDecompress());
  if (!handle) return Failure{FailureKind::kInternal, "cannot start the JPEG decoder"};
  const auto* data = reinterpret_cast<const unsigned char*>(bytes.data());
  const auto size = static_cast<unsigned long>(bytes.size());
  int width = 0, height = 0, subsampling = 0, colorspace = 0;
  if (tjDecompressHeader3(handle.get(), data, size, &width, &height, &subsampling, &colorspace) !=
      0) {
    return Failure{FailureKind::kDeviceFailed, turbo_error(handle.get(), "not a JPEG")};
  }
  if (auto reason = too_large_to_decode(JpegSize{width, height})) {
    return Failure{FailureKind::kDeviceFailed, *reason};
  }
  if (reduce != 1 && reduce != 2 && reduce != 4 && reduce != 8) reduce = 1;
  const int out_width = (width + reduce - 1) / reduce;
  const int out_height = (height + reduce - 1) / reduce;
  Image image = make_image(out_width, out_height, format);
  if (tjDecompress2(handle.get(), data, size, image.pixels.data(), out_width,
                    static_cast<int>(image.stride), out_height, turbo_format(format),
                    TJFLAG_FASTDCT) != 0 &&
      tjGetErrorCode(handle.get()) == TJERR_FATAL) {
    return Failure{FailureKind::kDeviceFailed, turbo_error(handle.get(), "cannot decode the JPEG")};
  }
  return image;
}

}  // namespace app
