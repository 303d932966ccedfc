#include "app/screen/screen_provider.h"

#include <utility>

namespace app {

ScreenProvider::ScreenProvider(DisplayEnvironment environment)
    : ScreenProvider(screen_frame_sources(std::move(environment))) {}

ScreenProvider::ScreenProvider(FrameSourceOpener open)
    : screen_(std::make_shared<ScreenDevice>(std::move(open))) {}

std::vector<std::shared_ptr<Device>> ScreenProvider::devices() {
  if (screen_->connect()) return {};
  return {screen_};
}

std::optional<Result<std::shared_ptr<Device>>> ScreenProvider::find(std::string_view id) {
  if (id != "screen") return std::nullopt;
  if (auto refused = screen_->connect()) return Result<std::shared_ptr<Device>>(*refused);
  return Result<std::shared_ptr<Device>>(std::shared_ptr<Device>(screen_));
}

}  // namespace app
