#include "app/portal/portal_frame_source.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <utility>

namespace app::portal {

PortalFrameSource::PortalFrameSource(std::shared_ptr<PortalScreen> portal, Use use)
    : portal_(std::move(portal)), use_(use) {}

PortalFrameSource::~PortalFrameSource() { stop_stream(); }

std::string PortalFrameSource::display_name() const {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return wayland && *wayland ? wayland : "of the desktop session";
}

bool PortalFrameSource::alive() { return screencast_offered(); }

Result<std::vector<ScreenOutput>> PortalFrameSource::listed(
    const std::vector<PortalOutput>& outputs) const {
  std::vector<ScreenOutput> list;
  for (const PortalOutput& output : outputs) {
    list.push_back({output.name, output.width, output.height, list.empty()});
  }
  return list;
}

Result<std::vector<ScreenOutput>> PortalFrameSource::outputs() {
  if (use_ == Use::kRecording) {
    if (!stream_) {
      auto started = portal_->start_recording();
      if (failed(started)) return std::get<Failure>(started);
      stream_ = std::move(std::get<std::shared_ptr<PortalSession>>(started));
    }
    return listed(stream_->outputs);
  }
  auto shared = portal_->outputs();
  if (failed(shared)) return std::get<Failure>(shared);
  return listed(std::get<std::vector<PortalOutput>>(shared));
}

Result<PixelView> PortalFrameSource::grab(std::string_view output) {
  auto failure = portal_->with_picture(output, [this](const PixelView& picture) {
    if (picture_.width != picture.width || picture_.height != picture.height) {
      picture_ = make_image(picture.width, picture.height, PixelFormat::kBgrx);
    }
    const std::size_t row = static_cast<std::size_t>(picture.width) * 4;
    for (int y = 0; y < picture.height; ++y) {
      std::memcpy(picture_.pixels.data() + static_cast<std::size_t>(y) * picture_.stride,
                  picture.pixels + static_cast<std::size_t>(y) * picture.stride, row);
    }
  });
  if (failure) return *failure;
  return view_of(picture_);
}

std::optional<Failure> PortalFrameSource::start_stream(std::string_view output) {
  if (!stream_) {
    auto started = portal_->start_recording();
    if (failed(started)) return std::get<Failure>(started);
    stream_ = std::move(std::get<std::shared_ptr<PortalSession>>(started));
  }
  stream_index_ = 0;
  if (!output.empty()) {
    const auto& outputs = stream_->outputs;
    auto at = std::find_if(outputs.begin(), outputs.end(),
                           [&](const PortalOutput& o) { return o.name == output; });
    if (at == outputs.end()) {
      portal_->end_recording(stream_);
      return Failure{FailureKind::kNotFound,
                     "no monitor named " + std::string(output) + " on this desktop"};
    }
    stream_index_ = static_cast<std::size_t>(at - outputs.begin());
  }
  return std::nullopt;
}

Result<PixelView> PortalFrameSource::newest_frame() {
  if (!stream_) return Failure{FailureKind::kInternal, "the screen stream was not started"};
  auto picture = stream_->capture->newest(stream_index_, std::chrono::milliseconds(0));
  if (failed(picture)) {
    Failure failure = std::get<Failure>(picture);
    failure.message = "the recording stopped: " + failure.message;
    return failure;
  }
  return picture;
}

void PortalFrameSource::stop_stream() { portal_->end_recording(stream_); }

}  // namespace app::portal
