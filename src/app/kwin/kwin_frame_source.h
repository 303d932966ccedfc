// KDE Plasma's compositor as a frame source for shots: each grab is one screenshot through
// org.kde.KWin.ScreenShot2.
#pragma once

#include "app/screen/frame_source.h"

namespace app::kwin {

class KwinFrameSource final : public FrameSource {
 public:
  std::string method_name() const override { return "kwin"; }
  std::string display_name() const override;
  // KWin's screenshot interface does not list monitors: none are listed, and no shot is taken
  // to find a size.
  Result<std::vector<ScreenOutput>> outputs() override;
  bool lists_outputs() const override { return false; }
  // `output`: a connector name ("HDMI-A-1"), or "" for the active screen.
  Result<PixelView> grab(std::string_view output) override;
  bool lost() const override { return false; }
  // Alive while KWin's screenshot interface answers on the session bus.
  bool alive() override;

 private:
  Image picture_;
};

}  // namespace app::kwin
