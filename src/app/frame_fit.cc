#include "app/frame_fit.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <vector>

#include "app/image.h"
#include "app/pixel_scaler.h"

namespace app {
namespace {

constexpr int kFitQuality = 90;

Failure bad_region(const std::string& text) {
  std::string shown = text.size() <= 40 ? text : text.substr(0, 40) + "...";
  return Failure{FailureKind::kBadRequest, "region must be x,y,width,height in the device's own pixels (e.g. "
                      "region=0,0,640,360), not \"" + shown + "\""};
}

// The rows and columns of `image` inside `region`, which lies within it.
Image cut(const Image& image, const Region& region) {
  Image part = make_image(region.width, region.height, image.format);
  const std::size_t pixel = bytes_per_pixel(image.format);
  for (int row = 0; row < region.height; ++row) {
    const std::uint8_t* from = image.pixels.data() +
                               static_cast<std::size_t>(region.y + row) * image.stride +
                               static_cast<std::size_t>(region.x) * pixel;
    std::memcpy(part.pixels.data() + static_cast<std::size_t>(row) * part.stride, from,
                static_cast<std::size_t>(region.width) * pixel);
  }
  return part;
}

}  // namespace

std::string size_text(int width, int height) {
  return std::to_string(width) + "x" + std::to_string(height);
}

Result<Region> parse_region(const std::string& text) {
  int values[4] = {};
  const char* at = text.data();
  const char* end = text.data() + text.size();
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (at == end || *at != ',') return bad_region(text);
      ++at;
    }
    if (at == end || *at < '0' || *at > '9') return bad_region(text);
    auto [stop, error] = std::from_chars(at, end, values[i]);
    if (error != std::errc()) return bad_region(text);
    at = stop;
  }
  if (at != end || values[2] < 1 || values[3] < 1) return bad_region(text);
  return Region{values[0], values[1], values[2], values[3]};
}

FitSize fitted_size(int width, int height, std::optional<int> max_width,
                    std::optional<int> max_height) {
  double scale = 1.0;
  if (max_width) scale = std::min(scale, static_cast<double>(*max_width) / width);
  if (max_height) scale = std::min(scale, static_cast<double>(*max_height) / height);
  if (scale >= 1.0) return {width, height};
  const auto side = [scale](int length, std::optional<int> limit) {
    int fitted = std::max(1, static_cast<int>(std::lround(length * scale)));
    return limit ? std::min(fitted, std::max(1, *limit)) : fitted;
  };
  return {side(width, max_width), side(height, max_height)};
}

Result<FittedFrame> fit_frame(const std::string& source, const FitRequest& request,
                              const std::string& device_id) {
  const std::optional<JpegSize> whole = jpeg_size(source);
  if (!whole) return Failure{FailureKind::kDeviceFailed, "device " + device_id + " sent a picture that is not a JPEG"};
  Region region{0, 0, whole->width, whole->height};
  if (request.region) {
    const Region& asked = *request.region;
    // Compared in 64 bits: x + width of two large numbers would overflow an int.
    if (static_cast<std::int64_t>(asked.x) + asked.width > whole->width ||
        static_cast<std::int64_t>(asked.y) + asked.height > whole->height) {
      return Failure{FailureKind::kBadRequest, "region " + std::to_string(asked.x) + "," + std::to_string(asked.y) +
                              "," + std::to_string(asked.width) + "," +
                              std::to_string(asked.height) + " lies outside the picture of " +
                              device_id + ", which is " + size_text(whole->width, whole->height) +
                              ": x + width must be at most " + std::to_string(whole->width) +
                              " and y + height at most " + std::to_string(whole->height)};
    }
    region = asked;
  }
  const FitSize target =
      fitted_size(region.width, region.height, request.max_width, request.max_height);

  // Decoding at 1/2, 1/4 or 1/8 scale (libjpeg-turbo's DCT scaling) takes most of a large
  // reduction for little work; the scaler does the rest, over less than 2x.
  int reduce = 8;
  while (reduce > 1 &&
         (region.width < target.width * reduce || region.height < target.height * reduce)) {
    reduce /= 2;
  }
  Result<Image> decoded = decode_jpeg(source, PixelFormat::kRgb, reduce);
  if (auto* failure = std::get_if<Failure>(&decoded)) return *failure;
  Image image = std::move(std::get<Image>(decoded));
  if (request.region || reduce > 1) {
    Region scaled{region.x / reduce, region.y / reduce,
                  std::max(1, region.width / reduce), std::max(1, region.height / reduce)};
    scaled.width = std::min(scaled.width, image.width - scaled.x);
    scaled.height = std::min(scaled.height, image.height - scaled.y);
    if (scaled.x != 0 || scaled.y != 0 || scaled.width != image.width ||
        scaled.height != image.height) {
      image = cut(image, scaled);
    }
  }
  if (image.width != target.width || image.height != target.height) {
    Result<Image> resized = PixelScaler().resize(view_of(image), target.width, target.height);
    if (auto* failure = std::get_if<Failure>(&resized)) return *failure;
    image = std::move(std::get<Image>(resized));
  }
  Result<std::string> encoded = encode_jpeg(view_of(image), kFitQuality);
  if (auto* failure = std::get_if<Failure>(&encoded)) return *failure;
  return FittedFrame{std::move(std::get<std::string>(encoded)), target.width, target.height,
                     whole->width, whole->height, request.region};
}

}  // namespace app
