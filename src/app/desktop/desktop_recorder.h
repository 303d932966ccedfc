// Screen recording through whichever method the session offers for recordings: the desktop
// portal's stream on GNOME and KDE, the display's own method otherwise.
#pragma once

#include <memory>

#include "app/portal/portal_screen.h"
#include "app/recorder.h"
#include "app/screen/screen_recorder.h"

namespace app::desktop {

class DesktopScreenRecorder final : public ScreenRecorder {
 public:
  DesktopScreenRecorder(DisplayEnvironment environment,
                        std::shared_ptr<portal::PortalScreen> portal);

  // As ScreenVideoRecorder::record. Through the portal, the recording has a session of its own;
  // frames the desktop does not send (it sends them when the screen changes) repeat the previous
  // picture, and a stream that stops mid-recording is a 503 naming the cause.
  Result<Recording> record(const RecordingRequest& request) override;

 private:
  const DisplayEnvironment environment_;
  ScreenVideoRecorder display_;
  ScreenVideoRecorder portal_;
};

}  // namespace app::desktop
