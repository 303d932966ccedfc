// The desktop portal as a frame source: shots from the shared shot session of a PortalScreen;
// recordings from the session PortalScreen::start_recording() gives them (the shot session when
// no other recording reads it), taken by start_stream() and handed back by stop_stream().
#pragma once

#include <memory>

#include "app/portal/portal_screen.h"
#include "app/screen/frame_source.h"

namespace app::portal {

class PortalFrameSource final : public FrameSource {
 public:
  // kShots: outputs() and grab() use the PortalScreen's shared shot session. kRecording:
  // outputs() starts the session that start_stream() then streams from.
  enum class Use { kShots, kRecording };
  PortalFrameSource(std::shared_ptr<PortalScreen> portal, Use use);
  ~PortalFrameSource() override;
  PortalFrameSource(const PortalFrameSource&) = delete;
  PortalFrameSource& operator=(const PortalFrameSource&) = delete;

  std::string method_name() const override { return "portal"; }
  std::string display_name() const override;
  // The session's monitors, the first one as the primary.
  Result<std::vector<ScreenOutput>> outputs() override;
  // A copy of the newest picture of `output`: the shot session may close behind it.
  Result<PixelView> grab(std::string_view output) override;

  std::optional<Failure> start_stream(std::string_view output) override;
  // The newest frame, or the previous one again when the desktop sent none since.
  Result<PixelView> newest_frame() override;
  void stop_stream() override;

  // Each call reaches the portal afresh; the source is alive while the session bus has a portal
  // with screen casting.
  bool lost() const override { return false; }
  bool alive() override;

 private:
  Result<std::vector<ScreenOutput>> listed(const std::vector<PortalOutput>& outputs) const;

  std::shared_ptr<PortalScreen> portal_;
  const Use use_;
  Image picture_;
  std::shared_ptr<PortalSession> stream_;
  std::size_t stream_index_ = 0;
};

}  // namespace app::portal
