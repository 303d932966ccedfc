#include "app/frame_fit.h"

#include <algorithm>
#include <cmath>

#include "app/pixel_scaler.h"

namespace app {
namespace {

int ceil_div(int value, int divisor) { return (value + divisor - 1) / divisor; }

}  // namespace

JpegSize fitted_size(const FrameRequest& request, int width, int height) {
  double scale = 1.0;
  if (request.width) scale = std::min(scale, static_cast<double>(*request.width) / width);
  if (request.height) scale = std::min(scale, static_cast<double>(*request.height) / height);
  if (scale >= 1.0) return JpegSize{width, height};
  JpegSize size{static_cast<int>(std::lround(width * scale)),
                static_cast<int>(std::lround(height * scale))};
  size.width = std::clamp(size.width, 1, request.width.value_or(width));
  size.height = std::clamp(size.height, 1, request.height.value_or(height));
  return size;
}

Result<std::string> rescale_jpeg(std::string_view jpeg, JpegSize natural, JpegSize size) {
  if (auto reason = too_large_to_decode(natural)) {
    return Failure{FailureKind::kDeviceFailed, "sent " + *reason};
  }
  int reduce = 1;
  while (reduce < 8 && ceil_div(natural.width, reduce * 2) >= size.width &&
         ceil_div(natural.height, reduce * 2) >= size.height) {
    reduce *= 2;
  }
  Result<Image> decoded = decode_jpeg(jpeg, PixelFormat::kRgb, reduce);
  if (const auto* failure = std::get_if<Failure>(&decoded)) {
    return Failure{FailureKind::kDeviceFailed,
                   "sent a JPEG that does not decode: " + failure->message};
  }
  const Image& whole = std::get<Image>(decoded);
  if (whole.width == size.width && whole.height == size.height) return encode_jpeg(view_of(whole));
  PixelScaler scaler;
  Result<Image> scaled = scaler.resize(view_of(whole), size.width, size.height);
  if (const auto* failure = std::get_if<Failure>(&scaled)) return *failure;
  return encode_jpeg(view_of(std::get<Image>(scaled)));
}

}  // namespace app
