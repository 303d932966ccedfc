#include "app/screen/x11_frame_source.h"

#include <algorithm>

namespace app {
namespace {

// Added to every shot taken through XWayland, which renders only X11 windows.
const Header kXwaylandWarning{"X-Screen-Warning",
                              "XWayland shows only X11 windows; Wayland windows come out black"};

class X11FrameSource final : public FrameSource {
 public:
  explicit X11FrameSource(std::unique_ptr<X11Screen> screen) : screen_(std::move(screen)) {}

  std::string method_name() const override { return "x11"; }
  std::string display_name() const override { return screen_->display_name(); }

  Result<std::vector<ScreenOutput>> outputs() override {
    if (!screen_->alive()) {
      return Failure{503, "lost the connection to the X display \"" + screen_->display_name() + "\""};
    }
    std::vector<ScreenOutput> list;
    for (const X11Monitor& monitor : visible_monitors()) {
      list.push_back({monitor.name, monitor.width, monitor.height, monitor.primary});
    }
    return list;
  }

  Result<PixelView> grab(std::string_view output) override {
    auto grabbed = screen_->grab();
    if (failed(grabbed)) return grabbed;
    PixelView whole = std::get<PixelView>(grabbed);
    const std::vector<X11Monitor> monitors = visible_monitors();
    const X11Monitor* chosen = nullptr;
    for (const X11Monitor& monitor : monitors) {
      if (output.empty() ? monitor.primary : monitor.name == output) chosen = &monitor;
      if (chosen != nullptr) break;
    }
    if (chosen == nullptr && output.empty() && !monitors.empty()) chosen = &monitors.front();
    if (chosen == nullptr) {
      return Failure{503, "the monitor \"" + std::string(output) + "\" of the X display \"" +
                              screen_->display_name() + "\" is gone"};
    }
    PixelView part = whole;
    part.pixels += static_cast<std::size_t>(chosen->y) * whole.stride +
                   static_cast<std::size_t>(chosen->x) * 4;
    part.width = chosen->width;
    part.height = chosen->height;
    return part;
  }

  std::vector<Header> warnings() const override {
    if (screen_->is_xwayland()) return {kXwaylandWarning};
    return {};
  }

  bool lost() const override { return screen_->lost(); }
  bool alive() override { return screen_->alive(); }

 private:
  // The monitors that lie on the root window (clipped to it), the primary first. A server
  // without RandR monitors has one: the whole root window, named "root".
  std::vector<X11Monitor> visible_monitors() {
    std::vector<X11Monitor> list;
    const int width = screen_->width();
    const int height = screen_->height();
    for (X11Monitor monitor : screen_->monitors()) {
      const int right = std::min(monitor.x + monitor.width, width);
      const int bottom = std::min(monitor.y + monitor.height, height);
      monitor.x = std::max(monitor.x, 0);
      monitor.y = std::max(monitor.y, 0);
      monitor.width = right - monitor.x;
      monitor.height = bottom - monitor.y;
      if (monitor.width > 0 && monitor.height > 0) list.push_back(monitor);
    }
    if (list.empty()) list.push_back({"root", 0, 0, width, height, true});
    std::stable_partition(list.begin(), list.end(),
                          [](const X11Monitor& monitor) { return monitor.primary; });
    return list;
  }

  std::unique_ptr<X11Screen> screen_;
};

}  // namespace

std::unique_ptr<FrameSource> make_x11_frame_source(std::unique_ptr<X11Screen> screen) {
  return std::make_unique<X11FrameSource>(std::move(screen));
}

}  // namespace app
