#include "app/net/network_camera.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "app/pixel_scaler.h"

namespace app::net {
namespace {

constexpr int kGrayMaxWidth = 640;

// "text/html" out of "Text/HTML; charset=utf-8".
std::string media_type(const std::string& content_type) {
  std::string type = content_type.substr(0, content_type.find(';'));
  const auto not_space = [](char c) { return c != ' ' && c != '\t'; };
  type.erase(type.begin(), std::find_if(type.begin(), type.end(), not_space));
  type.erase(std::find_if(type.rbegin(), type.rend(), not_space).base(), type.end());
  std::transform(type.begin(), type.end(), type.begin(), [](char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return type;
}

std::string not_a_jpeg_reason(const FetchedBody& fetched) {
  if (fetched.body.empty()) return "answered with an empty body rather than a JPEG";
  const std::string type = media_type(fetched.content_type);
  if (!type.empty() && type != "image/jpeg" && type != "image/jpg") {
    return "answered with " + type + " rather than a JPEG";
  }
  return "answered with " + size_text(fetched.body.size()) + " that are not a JPEG";
}

int ceil_div(int value, int divisor) { return (value + divisor - 1) / divisor; }

bool side_in_range(const std::optional<int>& side) {
  return !side || (*side >= 1 && *side <= kMaxFrameSide);
}

// The other side from the aspect ratio, rounded, kept within the allowed range.
int scaled_side(int natural_other, int natural_given, int given) {
  const double side = std::round(static_cast<double>(natural_other) * given / natural_given);
  return static_cast<int>(std::clamp(side, 1.0, static_cast<double>(kMaxFrameSide)));
}

}  // namespace

NetworkCamera::NetworkCamera(NetworkCameraEntry source, FetchLimits limits)
    : source_(std::move(source)), limits_(limits) {}

DeviceInfo NetworkCamera::describe() const {
  DeviceInfo info;
  info.id = "net:" + source_.name;
  const std::string host = url_for_display(source_.url, true);
  info.name = host.empty() ? "network camera" : "network camera at " + host;
  info.focusable = false;
  return info;
}

Failure NetworkCamera::source_failure(const std::string& reason) const {
  return Failure{FailureKind::kDeviceFailed,
                 "net:" + source_.name + " at " + url_for_display(source_.url) + " " + reason};
}

Result<JpegFrame> NetworkCamera::fetch_frame() {
  Result<FetchedBody> fetched = http_fetch(source_.url, limits_);
  if (const auto* failure = std::get_if<Failure>(&fetched)) {
    // Anything but a failed fetch means the fetch could not even start.
    if (failure->kind != FailureKind::kDeviceFailed) return *failure;
    return source_failure(failure->message);
  }
  FetchedBody& body = std::get<FetchedBody>(fetched);
  const std::optional<JpegSize> size = jpeg_size(body.body);
  if (!size) return source_failure(not_a_jpeg_reason(body));
  JpegFrame frame;
  frame.bytes = std::move(body.body);
  frame.width = size->width;
  frame.height = size->height;
  return frame;
}

Result<JpegFrame> NetworkCamera::take_jpeg(const FrameRequest& request) {
  if (!side_in_range(request.width) || !side_in_range(request.height)) {
    return Failure{FailureKind::kBadRequest,
                   "width and height must be between 1 and " + std::to_string(kMaxFrameSide)};
  }
  Result<JpegFrame> fetched = fetch_frame();
  if (failed(fetched) || (!request.width && !request.height)) return fetched;
  JpegFrame& frame = std::get<JpegFrame>(fetched);

  int width = request.width.value_or(0);
  int height = request.height.value_or(0);
  if (!request.height) height = scaled_side(frame.height, frame.width, width);
  if (!request.width) width = scaled_side(frame.width, frame.height, height);
  if (width == frame.width && height == frame.height) return fetched;

  // Let the decoder scale down by 2, 4 or 8 where that still leaves at least the asked size:
  // faster than decoding a phone's many megapixels whole, and it averages instead of skipping.
  int reduce = 1;
  while (reduce < 8 && ceil_div(frame.width, reduce * 2) >= width &&
         ceil_div(frame.height, reduce * 2) >= height) {
    reduce *= 2;
  }
  Result<Image> decoded = decode_jpeg(frame.bytes, PixelFormat::kRgb, reduce);
  if (const auto* failure = std::get_if<Failure>(&decoded)) {
    return source_failure("sent a JPEG that does not decode: " + failure->message);
  }
  const Image& whole = std::get<Image>(decoded);
  Result<std::string> encoded = Failure{FailureKind::kInternal, "not encoded"};
  if (whole.width == width && whole.height == height) {
    encoded = encode_jpeg(view_of(whole));
  } else {
    PixelScaler scaler;
    Result<Image> scaled = scaler.resize(view_of(whole), width, height);
    if (const auto* failure = std::get_if<Failure>(&scaled)) return *failure;
    encoded = encode_jpeg(view_of(std::get<Image>(scaled)));
  }
  if (const auto* failure = std::get_if<Failure>(&encoded)) return *failure;
  frame.bytes = std::move(std::get<std::string>(encoded));
  frame.width = width;
  frame.height = height;
  return fetched;
}

Result<Image> NetworkCamera::take_gray() {
  Result<JpegFrame> fetched = fetch_frame();
  if (const auto* failure = std::get_if<Failure>(&fetched)) return *failure;
  const JpegFrame& frame = std::get<JpegFrame>(fetched);
  int reduce = 1;
  while (reduce < 8 && ceil_div(frame.width, reduce) > kGrayMaxWidth) reduce *= 2;
  Result<Image> gray = decode_jpeg(frame.bytes, PixelFormat::kGray, reduce);
  if (const auto* failure = std::get_if<Failure>(&gray)) {
    return source_failure("sent a JPEG that does not decode: " + failure->message);
  }
  return gray;
}

Result<ControlChange> NetworkCamera::change_control(std::string_view name, std::int64_t /*value*/) {
  return Failure{FailureKind::kBadRequest,
                 "net:" + source_.name + " has no control " + std::string(name) +
                     ": a network camera's settings are made on the camera itself"};
}

}  // namespace app::net
