#include "app/desktop/desktop_recorder.h"

#include <chrono>
#include <utility>

#include "app/desktop/method_probe.h"

namespace app::desktop {
namespace {

// Takes the newest picture of the session's first monitor at each tick, never waiting.
class PortalFeed final : public FrameFeed {
 public:
  explicit PortalFeed(portal::PipeWireCapture& capture) : capture_(capture) {}
  Result<PixelView> next_frame() override {
    auto picture = capture_.newest(0, std::chrono::milliseconds(0));
    if (failed(picture)) {
      Failure failure = std::get<Failure>(picture);
      failure.message = "the recording stopped: " + failure.message;
      return failure;
    }
    return picture;
  }

 private:
  portal::PipeWireCapture& capture_;
};

}  // namespace

DesktopScreenRecorder::DesktopScreenRecorder(DisplayEnvironment environment,
                                             std::shared_ptr<portal::PortalScreen> portal)
    : environment_(environment), portal_(std::move(portal)), x11_(std::move(environment)) {}

Result<Recording> DesktopScreenRecorder::record(const JsonValue& body) {
  const ScreenMethod method = probe_screen_methods(environment_).recordings;
  if (method != ScreenMethod::kPortal && method != ScreenMethod::kNone) return x11_.record(body);
  auto read = read_recording_request(body);
  if (failed(read)) return std::get<Failure>(read);
  if (method == ScreenMethod::kNone) return Failure{503, kNoWaylandMethodMessage};
  bool idle = false;
  if (!running_.compare_exchange_strong(idle, true)) {
    return Failure{409, "a screen recording is already running; try again when it has finished"};
  }
  struct Release {
    std::atomic<bool>& running;
    ~Release() { running = false; }
  } release{running_};
  return record_portal(std::get<RecordingRequest>(read));
}

Result<Recording> DesktopScreenRecorder::record_portal(const RecordingRequest& request) {
  auto started = portal_->start_session();
  if (failed(started)) return std::get<Failure>(started);
  portal::PortalSession& session = *std::get<std::unique_ptr<portal::PortalSession>>(started);
  PortalFeed feed(*session.capture);
  const portal::PortalOutput& output = session.outputs.front();
  return record_feed(request, output.width, output.height, feed);
}

}  // namespace app::desktop
