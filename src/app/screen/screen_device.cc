#include "app/screen/screen_device.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace app {

Result<ShotSize> shot_size(const FrameRequest& request, int screen_width, int screen_height) {
  if ((request.width && *request.width < 1) || (request.height && *request.height < 1)) {
    return Failure{FailureKind::kBadRequest, "width and height must be at least 1"};
  }
  double scale = 1.0;
  if (request.width) scale = std::min(scale, static_cast<double>(*request.width) / screen_width);
  if (request.height) {
    scale = std::min(scale, static_cast<double>(*request.height) / screen_height);
  }
  if (scale >= 1.0) return ShotSize{screen_width, screen_height};
  ShotSize size{static_cast<int>(std::lround(screen_width * scale)),
                static_cast<int>(std::lround(screen_height * scale))};
  size.width = std::clamp(size.width, 1, request.width.value_or(screen_width));
  size.height = std::clamp(size.height, 1, request.height.value_or(screen_height));
  return size;
}

ScreenDevice::ScreenDevice(FrameSourceOpener open) : open_(std::move(open)) {}

std::optional<Failure> ScreenDevice::connect() {
  std::lock_guard lock(device_mutex());
  auto refused = connect_locked();
  refresh_info();
  return refused;
}

std::optional<Failure> ScreenDevice::connect_locked() {
  if (source_ && source_->alive()) return std::nullopt;
  source_.reset();
  auto opened = open_();
  if (failed(opened)) return std::get<Failure>(opened);
  source_ = std::move(std::get<std::unique_ptr<FrameSource>>(opened));
  return std::nullopt;
}

DeviceInfo ScreenDevice::describe() const {
  DeviceInfo info{"screen", "Screen", false, std::nullopt, std::nullopt};
  if (!source_ || source_->lost()) return info;
  info.name = "Screen of display " + source_->display_name();
  auto outputs = source_->outputs();
  if (!failed(outputs) && !std::get<std::vector<ScreenOutput>>(outputs).empty()) {
    const ScreenOutput& primary = std::get<std::vector<ScreenOutput>>(outputs).front();
    info.width = primary.width;
    info.height = primary.height;
  }
  return info;
}

Result<PixelView> ScreenDevice::grab_locked() {
  if (auto refused = connect_locked()) return *refused;
  auto grabbed = source_->grab("");
  if (!failed(grabbed) || !source_->lost()) return grabbed;
  // The display went away since the last request (a restarted session, say): one new try.
  if (auto refused = connect_locked()) return *refused;
  return source_->grab("");
}

Result<JpegFrame> ScreenDevice::take_jpeg(const FrameRequest& request) {
  // A bad size is refused before the display is asked for anything.
  if (auto checked = shot_size(request, 1, 1); failed(checked)) return std::get<Failure>(checked);
  auto grabbed = grab_locked();
  if (failed(grabbed)) return std::get<Failure>(grabbed);
  const PixelView& shot = std::get<PixelView>(grabbed);
  const ShotSize size = std::get<ShotSize>(shot_size(request, shot.width, shot.height));

  Result<std::string> jpeg = Failure{FailureKind::kInternal, ""};
  if (size.width == shot.width && size.height == shot.height) {
    jpeg = encode_jpeg(shot);
  } else {
    auto resized = scaler_.resize(shot, size.width, size.height);
    if (failed(resized)) return std::get<Failure>(resized);
    jpeg = encode_jpeg(view_of(std::get<Image>(resized)));
  }
  if (failed(jpeg)) return std::get<Failure>(jpeg);
  JpegFrame frame{std::move(std::get<std::string>(jpeg)), size.width, size.height, {}};
  for (Header& warning : source_->warnings()) frame.headers.push_back(std::move(warning));
  return frame;
}

}  // namespace app
