#include "app/desktop/desktop_recorder.h"

#include <utility>

#include "app/desktop/method_probe.h"
#include "app/portal/portal_frame_source.h"

namespace app::desktop {

DesktopScreenRecorder::DesktopScreenRecorder(DisplayEnvironment environment,
                                             std::shared_ptr<portal::PortalScreen> portal)
    : environment_(environment),
      display_(std::move(environment)),
      portal_([portal = std::move(portal)]() -> Result<std::unique_ptr<FrameSource>> {
        return std::unique_ptr<FrameSource>(std::make_unique<portal::PortalFrameSource>(
            portal, portal::PortalFrameSource::Use::kRecording));
      }) {}

Result<Recording> DesktopScreenRecorder::record(const RecordingRequest& request) {
  switch (probe_screen_methods(environment_).recordings) {
    case ScreenMethod::kPortal:
      return portal_.record(request);
    case ScreenMethod::kNone:
      return Failure{FailureKind::kUnavailable, kNoWaylandMethodMessage};
    case ScreenMethod::kKwin:
    case ScreenMethod::kWlrScreencopy:
    case ScreenMethod::kX11:
      break;
  }
  return display_.record(request);
}

}  // namespace app::desktop
