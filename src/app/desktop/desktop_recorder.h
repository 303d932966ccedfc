// Screen recording through whichever method the session offers for recordings: the desktop
// portal's stream on GNOME and KDE, X11 otherwise.
#pragma once

#include <atomic>
#include <memory>

#include "app/portal/portal_screen.h"
#include "app/recorder.h"
#include "app/screen/screen_recorder.h"

namespace app::desktop {

class DesktopScreenRecorder final : public ScreenRecorder {
 public:
  DesktopScreenRecorder(DisplayEnvironment environment,
                        std::shared_ptr<portal::PortalScreen> portal);

  // As X11ScreenRecorder::record. Through the portal, the recording has a session of its own;
  // frames the desktop does not send (it sends them when the screen changes) repeat the previous
  // picture, and a stream that stops mid-recording is a 503 naming the cause.
  Result<Recording> record(const JsonValue& request) override;

 private:
  Result<Recording> record_portal(const RecordingRequest& request);

  const DisplayEnvironment environment_;
  std::shared_ptr<portal::PortalScreen> portal_;
  X11ScreenRecorder x11_;
  std::atomic<bool> running_{false};
};

}  // namespace app::desktop
