#include "app/desktop/monitor_device.h"

#include <utility>

#include "app/screen/screen_device.h"

namespace app::desktop {

MonitorDevice::MonitorDevice(FrameSourceOpener open, std::string output)
    : open_(std::move(open)), output_(std::move(output)) {}

void MonitorDevice::know_size(int width, int height) {
  std::lock_guard lock(device_mutex());
  width_ = width;
  height_ = height;
  refresh_info();
}

DeviceInfo MonitorDevice::describe() const {
  DeviceInfo info{output_.empty() ? "screen" : "screen:" + output_,
                  output_.empty() ? "Screen" : "Screen " + output_, false, std::nullopt,
                  std::nullopt};
  if (!method_.empty()) info.name += " (" + method_ + ")";
  if (width_ > 0) {
    info.width = width_;
    info.height = height_;
  }
  return info;
}

Result<JpegFrame> MonitorDevice::take_jpeg(const FrameRequest& request) {
  // A bad size is refused before the desktop is asked for anything.
  if (auto checked = shot_size(request, 1, 1); failed(checked)) return std::get<Failure>(checked);
  if (!source_ || !source_->alive()) {
    source_.reset();
    auto opened = open_();
    if (failed(opened)) return std::get<Failure>(opened);
    source_ = std::move(std::get<std::unique_ptr<FrameSource>>(opened));
    method_ = source_->method_name();
  }
  auto grabbed = source_->grab(output_);
  if (failed(grabbed)) return std::get<Failure>(grabbed);
  const PixelView& shot = std::get<PixelView>(grabbed);
  width_ = shot.width;
  height_ = shot.height;
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

}  // namespace app::desktop
