#include "app/screen/screen_device.h"

#include <string>

#include "app/frame_fit.h"

namespace app {

Result<ShotSize> shot_size(const FrameRequest& request, int screen_width, int screen_height) {
  if ((request.width && *request.width < 1) || (request.height && *request.height < 1)) {
    return Failure{FailureKind::kBadRequest, "width and height must be at least 1"};
  }
  const FitSize size = fitted_size(screen_width, screen_height, request.width, request.height);
  return ShotSize{size.width, size.height};
}

ScreenConnection::ScreenConnection(FrameSourceOpener open) : open_(std::move(open)) {}

std::optional<Failure> ScreenConnection::connect_locked() {
  if (source_ && source_->alive()) return std::nullopt;
  source_.reset();
  seen_.reset();
  auto opened = open_();
  if (failed(opened)) return std::get<Failure>(opened);
  source_ = std::move(std::get<std::unique_ptr<FrameSource>>(opened));
  return std::nullopt;
}

Result<ScreenState> ScreenConnection::look() {
  std::lock_guard lock(mutex_);
  if (auto refused = connect_locked()) return *refused;
  auto outputs = source_->outputs();
  if (failed(outputs)) return std::get<Failure>(outputs);
  seen_ = ScreenState{source_->method_name(), source_->display_name(),
                      std::move(std::get<std::vector<ScreenOutput>>(outputs)),
                      source_->lists_outputs()};
  return *seen_;
}

std::optional<ScreenState> ScreenConnection::last_seen() const {
  std::lock_guard lock(mutex_);
  return seen_;
}

Result<PixelView> ScreenConnection::grab_locked(const std::string& output) {
  if (auto refused = connect_locked()) return *refused;
  auto grabbed = source_->grab(output);
  if (!failed(grabbed) || !source_->lost()) return grabbed;
  // The display went away since the last request (a restarted session, say): one new try.
  if (auto refused = connect_locked()) return *refused;
  return source_->grab(output);
}

Result<JpegFrame> ScreenConnection::shot(const std::string& output, const FrameRequest& request) {
  // A bad size is refused before the display is asked for anything.
  if (auto checked = shot_size(request, 1, 1); failed(checked)) return std::get<Failure>(checked);
  std::lock_guard lock(mutex_);
  auto grabbed = grab_locked(output);
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
  return JpegFrame{std::move(std::get<std::string>(jpeg)), size.width, size.height,
                   source_->warnings()};
}

ScreenDevice::ScreenDevice(std::shared_ptr<ScreenConnection> connection, std::string output)
    : connection_(std::move(connection)), output_(std::move(output)) {}

DeviceInfo ScreenDevice::describe() const {
  DeviceInfo info{output_.empty() ? "screen" : "screen:" + output_, "Screen", false, std::nullopt,
                  std::nullopt};
  const auto seen = connection_->last_seen();
  if (!seen) return info;
  info.name = output_.empty() ? "Screen of display " + seen->display
                              : "Screen " + output_ + " of display " + seen->display;
  // The outputs come the primary (else the first) first: that one is "screen".
  for (const ScreenOutput& output : seen->outputs) {
    if (output_.empty() || output.name == output_) {
      info.width = output.width;
      info.height = output.height;
      break;
    }
  }
  return info;
}

void ScreenDevice::refresh() {
  std::lock_guard lock(device_mutex());
  refresh_info();
}

Result<JpegFrame> ScreenDevice::take_jpeg(const FrameRequest& request) {
  return connection_->shot(output_, request);
}

}  // namespace app
