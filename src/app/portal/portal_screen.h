// The screen through the desktop portal: sessions started with the stored permission, never a
// dialog. Screenshots share one session that stays open a few seconds after the last shot, so a
// burst of shots pays the session's start once. A recording reads that session too (opening it
// when none is open), and it stays open while the recording runs; only a second recording at
// the same time has a session of its own.
//
// Safe to use from many threads: shots are taken one at a time, a recording runs beside them.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "app/failure.h"
#include "app/image.h"
#include "app/portal/consent_store.h"
#include "app/portal/pipewire_capture.h"
#include "app/portal/screencast_portal.h"

namespace app::portal {

// One monitor of the portal's session, under the name its device id uses ("screen:NAME").
struct PortalOutput {
  std::string name;
  int width = 0;
  int height = 0;
};

// Names the monitors of a session, in the streams' order. The default names them by the place
// the desktop gives them (left to right, then top to bottom): "1", "2", ...; a session that can
// see the compositor's own output names plugs in here so ids match the other capture methods.
using OutputNamer = std::function<std::vector<std::string>(const std::vector<PortalStream>&)>;
std::vector<std::string> name_by_position(const std::vector<PortalStream>& streams);

// A started session with its PipeWire streams.
struct PortalSession {
  ScreenCast cast;
  std::unique_ptr<PipeWireCapture> capture;
  std::vector<PortalOutput> outputs;
  bool recording = false;  // a recording reads its streams (under the PortalScreen's lock)
};

// The text of the refusal when no permission is stored.
std::string consent_missing_message();

class PortalScreen {
 public:
  PortalScreen(ConsentStore store, OutputNamer namer = name_by_position,
               std::chrono::milliseconds keep_open = std::chrono::seconds(5));
  ~PortalScreen();
  PortalScreen(const PortalScreen&) = delete;
  PortalScreen& operator=(const PortalScreen&) = delete;

  // True when a permission is stored.
  bool consent_stored() const;
  const ConsentStore& consent() const { return store_; }

  // Starts a session with the stored permission (and stores the new token the desktop hands
  // back). Refused at once when none is stored; a dialog that shows anyway is closed after a few
  // seconds. A 503 Failure naming the cause otherwise.
  Result<std::unique_ptr<PortalSession>> start_session();

  // The monitors, from the shot session (started when needed).
  Result<std::vector<PortalOutput>> outputs();

  // Hands the newest picture of `output` ("" for the first monitor) to `use` while it is valid.
  // Nothing, or why there is no picture (404 for a monitor the session does not have).
  std::optional<Failure> with_picture(std::string_view output,
                                      const std::function<void(const PixelView&)>& use);

  // A session for a recording, which alone takes frames from its streams (newest()) until it
  // hands it back with end_recording(): the shot session, opened when none is open, or a new
  // one when another recording reads that.
  Result<std::shared_ptr<PortalSession>> start_recording();
  void end_recording(std::shared_ptr<PortalSession>& session);

 private:
  Result<PortalSession*> shot_session_locked();
  void close_when_idle();

  const ConsentStore store_;
  const OutputNamer namer_;
  const std::chrono::milliseconds keep_open_;
  std::mutex start_mutex_;  // one session start at a time: each start renews the token

  std::mutex mutex_;  // guards everything below
  std::condition_variable wake_;
  std::shared_ptr<PortalSession> shots_;
  std::chrono::steady_clock::time_point last_shot_;
  bool stopping_ = false;
  std::thread closer_;
};

}  // namespace app::portal
