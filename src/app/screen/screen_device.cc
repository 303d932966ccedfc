#include "app/screen/screen_device.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace app {
namespace {

// Added to every shot taken through XWayland, which renders only X11 windows.
const Header kXwaylandWarning{"X-Screen-Warning",
                              "XWayland shows only X11 windows; Wayland windows come out black"};

}  // namespace

Result<ShotSize> shot_size(const FrameRequest& request, int screen_width, int screen_height) {
  if ((request.width && *request.width < 1) || (request.height && *request.height < 1)) {
    return Failure{400, "width and height must be at least 1"};
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

Result<JpegFrame> encode_shot(const PixelView& shot, const FrameRequest& request,
                              PixelScaler& scaler) {
  auto sized = shot_size(request, shot.width, shot.height);
  if (failed(sized)) return std::get<Failure>(sized);
  const ShotSize size = std::get<ShotSize>(sized);
  Result<std::string> jpeg = Failure{};
  if (size.width == shot.width && size.height == shot.height) {
    jpeg = encode_jpeg(shot);
  } else {
    auto resized = scaler.resize(shot, size.width, size.height);
    if (failed(resized)) return std::get<Failure>(resized);
    jpeg = encode_jpeg(view_of(std::get<Image>(resized)));
  }
  if (failed(jpeg)) return std::get<Failure>(jpeg);
  return JpegFrame{std::move(std::get<std::string>(jpeg)), size.width, size.height, {}};
}

ScreenDevice::ScreenDevice(DisplayEnvironment environment) : environment_(std::move(environment)) {}

std::optional<Failure> ScreenDevice::connect() {
  std::lock_guard lock(mutex_);
  return connect_locked();
}

std::optional<Failure> ScreenDevice::connect_locked() {
  if (screen_ && screen_->alive()) return std::nullopt;
  screen_.reset();
  auto opened = X11Screen::open(environment_);
  if (failed(opened)) return std::get<Failure>(opened);
  screen_ = std::move(std::get<std::unique_ptr<X11Screen>>(opened));
  return std::nullopt;
}

DeviceInfo ScreenDevice::info() const {
  std::lock_guard lock(mutex_);
  DeviceInfo info{"screen", "Screen", false, std::nullopt, std::nullopt};
  if (screen_ && !screen_->lost()) {
    info.name = "Screen of display " + screen_->display_name();
    info.width = screen_->width();
    info.height = screen_->height();
  }
  return info;
}

Result<PixelView> ScreenDevice::grab_locked() {
  if (auto refused = connect_locked()) return *refused;
  auto grabbed = screen_->grab();
  if (!failed(grabbed) || !screen_->lost()) return grabbed;
  // The X server went away since the last request (a restarted session, say): one new try.
  if (auto refused = connect_locked()) return *refused;
  return screen_->grab();
}

Result<JpegFrame> ScreenDevice::capture_jpeg(const FrameRequest& request) {
  // A bad size is refused before the display is asked for anything.
  if (auto checked = shot_size(request, 1, 1); failed(checked)) return std::get<Failure>(checked);
  std::lock_guard lock(mutex_);
  auto grabbed = grab_locked();
  if (failed(grabbed)) return std::get<Failure>(grabbed);
  auto encoded = encode_shot(std::get<PixelView>(grabbed), request, scaler_);
  if (failed(encoded)) return encoded;
  JpegFrame& frame = std::get<JpegFrame>(encoded);
  if (screen_->is_xwayland()) frame.headers.push_back(kXwaylandWarning);
  return encoded;
}

Result<Image> ScreenDevice::capture_gray() {
  return Failure{400, "the screen has no focus to sweep"};
}

Result<std::vector<ControlInfo>> ScreenDevice::controls() { return std::vector<ControlInfo>{}; }

Result<ControlChange> ScreenDevice::set_control(std::string_view name, std::int64_t) {
  return Failure{400, "the screen has no controls (no " + std::string(name) + " to set)"};
}

}  // namespace app
