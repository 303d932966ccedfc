#include "app/wayland/wayland_frame_source.h"

namespace app::wayland {
namespace {

class ScreencopyFrameSource final : public FrameSource {
 public:
  explicit ScreencopyFrameSource(std::unique_ptr<WaylandScreen> screen)
      : screen_(std::move(screen)) {}

  std::string method_name() const override { return "wlr-screencopy"; }
  std::string display_name() const override { return screen_->display_name(); }

  // Wayland has no primary output: the compositor's first stands for the screen.
  Result<std::vector<ScreenOutput>> outputs() override {
    auto found = screen_->outputs();
    if (failed(found)) return std::get<Failure>(found);
    std::vector<ScreenOutput> list;
    for (const OutputInfo& output : std::get<std::vector<OutputInfo>>(found)) {
      list.push_back({output.name, output.width, output.height, list.empty()});
    }
    return list;
  }

  Result<PixelView> grab(std::string_view output) override { return screen_->grab(output); }

  std::optional<Failure> start_stream(std::string_view output) override {
    return screen_->start_stream(output);
  }
  Result<PixelView> newest_frame() override { return screen_->newest_frame(); }
  void stop_stream() override { screen_->stop_stream(); }

  bool lost() const override { return screen_->lost(); }
  bool alive() override { return screen_->alive(); }

 private:
  std::unique_ptr<WaylandScreen> screen_;
};

}  // namespace

std::unique_ptr<FrameSource> make_screencopy_frame_source(std::unique_ptr<WaylandScreen> screen) {
  return std::make_unique<ScreencopyFrameSource>(std::move(screen));
}

}  // namespace app::wayland
