#include "app/kwin/kwin_frame_source.h"

#include <cstdlib>
#include <utility>

#include "app/kwin/kwin_screenshot.h"

namespace app::kwin {

std::string KwinFrameSource::display_name() const {
  const char* wayland = std::getenv("WAYLAND_DISPLAY");
  return wayland && *wayland ? wayland : "of the desktop session";
}

bool KwinFrameSource::alive() { return kwin_screenshot_offered(); }

Result<std::vector<ScreenOutput>> KwinFrameSource::outputs() {
  return std::vector<ScreenOutput>{};
}

Result<PixelView> KwinFrameSource::grab(std::string_view output) {
  auto captured = kwin_capture(output.empty() ? std::nullopt : std::optional(std::string(output)));
  if (failed(captured)) return std::get<Failure>(captured);
  picture_ = std::move(std::get<Image>(captured));
  return view_of(picture_);
}

}  // namespace app::kwin
