#include "app/net/network_camera.h"

#include <algorithm>
#include <cmath>
#include <memory>
#include <utility>

#include "app/frame_fit.h"
#include "app/net/still_picture.h"
#include "app/pixel_scaler.h"
#include "app/text.h"

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
    return "answered with " + clip_for_message(type, 60) + " rather than a JPEG";
  }
  return "answered with " + size_text(fetched.body.size()) + " that are not a JPEG";
}

int ceil_div(int value, int divisor) { return (value + divisor - 1) / divisor; }

bool side_in_range(const std::optional<int>& side) {
  return !side || (*side >= 1 && *side <= kMaxFrameSide);
}

}  // namespace

NetworkCamera::NetworkCamera(NetworkCameraEntry source, FetchLimits limits)
    : source_(std::move(source)), limits_(limits), target_(source_target(source_.url)) {}

DeviceInfo NetworkCamera::describe() const {
  DeviceInfo info;
  info.id = "net:" + source_.name;
  const std::string host = url_for_display(source_.url, true);
  info.name = host.empty() ? "network camera" : "network camera at " + host;
  info.focusable = false;
  return info;
}

Failure NetworkCamera::source_failure(const Failure& reason) const {
  return Failure{reason.kind,
                 "net:" + source_.name + " at " + url_for_display(source_.url) + " " + reason.message};
}

Failure NetworkCamera::source_failure(const std::string& reason) const {
  return source_failure(Failure{FailureKind::kDeviceFailed, reason});
}

Result<NetworkCamera::Picture> NetworkCamera::fetch_picture() {
  if (const auto* problem = std::get_if<std::string>(&target_)) {
    return source_failure("has a URL it cannot use: " + *problem);
  }
  const SourceTarget& target = std::get<SourceTarget>(target_);
  return target.protocol == SourceProtocol::kRtsp ? fetch_rtsp(target) : fetch_http(target);
}

Result<NetworkCamera::Picture> NetworkCamera::fetch_http(const SourceTarget& target) {
  Result<FetchedBody> fetched =
      http_fetch(target.url, limits_, target.insecure || source_.insecure);
  if (const auto* failure = std::get_if<Failure>(&fetched)) {
    // Anything but a failed fetch means the fetch could not even start.
    if (failure->kind != FailureKind::kDeviceFailed) return *failure;
    return source_failure(*failure);
  }
  FetchedBody& body = std::get<FetchedBody>(fetched);
  Picture picture;
  if (const std::optional<JpegSize> size = jpeg_size(body.body)) {
    picture.jpeg = std::move(body.body);
    picture.width = size->width;
    picture.height = size->height;
    return picture;
  }
  if (const std::optional<std::string> format = still_format(body.body)) {
    Result<Image> decoded = decode_still(body.body);
    if (const auto* failure = std::get_if<Failure>(&decoded)) {
      if (failure->kind != FailureKind::kDeviceFailed) return *failure;
      return source_failure("answered with " + failure->message);
    }
    picture.rgb = std::move(std::get<Image>(decoded));
    picture.width = picture.rgb->width;
    picture.height = picture.rgb->height;
    return picture;
  }
  return source_failure(not_a_jpeg_reason(body));
}

Result<NetworkCamera::Picture> NetworkCamera::fetch_rtsp(const SourceTarget& target) {
  // The stream library encrypts RTSPS but cannot check who answers: that is only accepted where
  // the user said so, as for a certificate over HTTPS that cannot be verified.
  if (target.url.size() > 5 && (target.url[4] == 's' || target.url[4] == 'S') &&
      !(target.insecure || source_.insecure)) {
    return source_failure(
        "uses rtsps://, whose certificate this service cannot verify (the stream is encrypted, "
        "but who answers is not checked). If you trust this camera, register the source again "
        "with " + std::string(kInsecureMark) + " at the end of its URL, or with \"insecure\": "
        "true through the API");
  }
  const RtspLimits limits{limits_.connect_timeout, limits_.total_timeout, limits_.keep_open};
  for (int attempt = 0; attempt < 2; ++attempt) {
    if (!rtsp_ || !rtsp_->open()) {
      rtsp_.reset();  // a closed session's reader has ended: this joins it at once
      rtsp_ = std::make_unique<RtspSession>(target.url, limits);
    }
    std::optional<Result<FramePointer>> taken = rtsp_->fresh_frame();
    if (!taken) continue;  // closed for lack of use a moment before this request: open a new one
    Result<FramePointer>& frame = *taken;
    if (auto* failure = std::get_if<Failure>(&frame)) return source_failure(*failure);
    Picture picture;
    picture.frame = std::move(std::get<FramePointer>(frame));
    picture.width = picture.frame->width;
    picture.height = picture.frame->height;
    return picture;
  }
  return source_failure("closed its stream at once, twice");
}

Result<JpegFrame> NetworkCamera::take_jpeg(const FrameRequest& request) {
  if (!side_in_range(request.width) || !side_in_range(request.height)) {
    return Failure{FailureKind::kBadRequest,
                   "width and height must be between 1 and " + std::to_string(kMaxFrameSide)};
  }
  Result<Picture> fetched = fetch_picture();
  if (const auto* failure = std::get_if<Failure>(&fetched)) return *failure;
  Picture& picture = std::get<Picture>(fetched);

  // Fitted inside the asked box with the aspect kept: never stretched, never enlarged.
  const FitSize fit = fitted_size(picture.width, picture.height, request.width, request.height);
  const int width = fit.width;
  const int height = fit.height;

  JpegFrame frame;
  frame.width = width;
  frame.height = height;
  if (!picture.jpeg.empty() && width == picture.width && height == picture.height) {
    frame.bytes = std::move(picture.jpeg);
    return frame;
  }

  PixelScaler scaler;
  auto resized = [&](const Image& whole) -> Result<Image> {
    if (whole.width == width && whole.height == height) return whole;
    return scaler.resize(view_of(whole), width, height);
  };
  Image scaled;
  if (!picture.jpeg.empty()) {
    if (auto reason = too_large_to_decode(JpegSize{picture.width, picture.height})) {
      return source_failure("sent " + *reason);
    }
    // Let the decoder scale down by 2, 4 or 8 where that still leaves at least the asked size:
    // faster than decoding a phone's many megapixels whole, and it averages instead of skipping.
    int reduce = 1;
    while (reduce < 8 && ceil_div(picture.width, reduce * 2) >= width &&
           ceil_div(picture.height, reduce * 2) >= height) {
      reduce *= 2;
    }
    Result<Image> decoded = decode_jpeg(picture.jpeg, PixelFormat::kRgb, reduce);
    if (const auto* failure = std::get_if<Failure>(&decoded)) {
      return source_failure("sent a JPEG that does not decode: " + failure->message);
    }
    Result<Image> sized = resized(std::get<Image>(decoded));
    if (const auto* failure = std::get_if<Failure>(&sized)) return *failure;
    scaled = std::move(std::get<Image>(sized));
  } else if (picture.rgb) {
    Result<Image> sized = resized(*picture.rgb);
    if (const auto* failure = std::get_if<Failure>(&sized)) return *failure;
    scaled = std::move(std::get<Image>(sized));
  } else {
    Result<Image> converted = scaler.from_video_frame(*picture.frame, PixelFormat::kRgb, width, height);
    if (const auto* failure = std::get_if<Failure>(&converted)) return source_failure(*failure);
    scaled = std::move(std::get<Image>(converted));
  }
  Result<std::string> encoded = encode_jpeg(view_of(scaled));
  if (const auto* failure = std::get_if<Failure>(&encoded)) return *failure;
  frame.bytes = std::move(std::get<std::string>(encoded));
  return frame;
}

Result<Image> NetworkCamera::take_gray() {
  Result<Picture> fetched = fetch_picture();
  if (const auto* failure = std::get_if<Failure>(&fetched)) return *failure;
  const Picture& picture = std::get<Picture>(fetched);
  if (!picture.jpeg.empty()) {
    if (auto reason = too_large_to_decode(JpegSize{picture.width, picture.height})) {
      return source_failure("sent " + *reason);
    }
    int reduce = 1;
    while (reduce < 8 && ceil_div(picture.width, reduce) > kGrayMaxWidth) reduce *= 2;
    Result<Image> gray = decode_jpeg(picture.jpeg, PixelFormat::kGray, reduce);
    if (const auto* failure = std::get_if<Failure>(&gray)) {
      return source_failure("sent a JPEG that does not decode: " + failure->message);
    }
    return gray;
  }
  const FitSize gray_size = fitted_size(picture.width, picture.height, kGrayMaxWidth, std::nullopt);
  const int width = gray_size.width;
  const int height = gray_size.height;
  PixelScaler scaler;
  if (picture.frame) {
    Result<Image> gray = scaler.from_video_frame(*picture.frame, PixelFormat::kGray, width, height);
    if (const auto* failure = std::get_if<Failure>(&gray)) return source_failure(*failure);
    return gray;
  }
  Result<Image> sized = scaler.resize(view_of(*picture.rgb), width, height);
  if (const auto* failure = std::get_if<Failure>(&sized)) return *failure;
  const Image& rgb = std::get<Image>(sized);
  Image gray = make_image(width, height, PixelFormat::kGray);
  for (int y = 0; y < height; ++y) {
    const std::uint8_t* in = rgb.pixels.data() + static_cast<std::size_t>(y) * rgb.stride;
    std::uint8_t* out = gray.pixels.data() + static_cast<std::size_t>(y) * gray.stride;
    for (int x = 0; x < width; ++x, in += 3) {
      out[x] = static_cast<std::uint8_t>((77 * in[0] + 150 * in[1] + 29 * in[2]) >> 8);
    }
  }
  return gray;
}

Result<ControlChange> NetworkCamera::change_control(std::string_view name, std::int64_t /*value*/) {
  return Failure{FailureKind::kBadRequest,
                 "net:" + source_.name + " has no control " + std::string(name) +
                     ": a network camera's settings are made on the camera itself"};
}

}  // namespace app::net
