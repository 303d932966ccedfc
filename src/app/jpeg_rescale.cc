#include "app/jpeg_rescale.h"

#include <algorithm>

#include "app/pixel_scaler.h"

namespace app {
namespace {

int ceil_div(int value, int divisor) { return (value + divisor - 1) / divisor; }

}  // namespace

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
