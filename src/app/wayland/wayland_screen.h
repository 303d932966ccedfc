// The outputs of a Wayland compositor, captured through wlr-screencopy (version 3 when offered)
// into shared-memory buffers, upright and as BGRX.
//
// One WaylandScreen is one connection to the compositor. It is not thread-safe: use each from
// one thread at a time (different WaylandScreens may run concurrently). When the compositor goes
// away the connection is marked lost and every later call fails; connect anew then.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/failure.h"
#include "app/image.h"

namespace app::wayland {

struct OutputInfo {
  std::string name;  // the compositor's name for it ("HDMI-A-1"), else "output-N" by position
  int width = 0;     // the upright picture's size: the current mode, turned by the transform
  int height = 0;
};

class WaylandScreen {
 public:
  // Connects to the compositor at `display` (a WAYLAND_DISPLAY value: a socket name in
  // XDG_RUNTIME_DIR, or an absolute path) and reads its globals and outputs. A 503 Failure
  // naming the display when it cannot be reached.
  static Result<std::unique_ptr<WaylandScreen>> connect(const std::string& display);

  ~WaylandScreen();
  WaylandScreen(const WaylandScreen&) = delete;
  WaylandScreen& operator=(const WaylandScreen&) = delete;

  const std::string& display_name() const;
  // True when the compositor offers wlr-screencopy and shared memory.
  bool can_capture() const;
  // The outputs now, in the compositor's order (the first stands for the whole screen), after
  // a round trip so that added, removed and changed outputs are seen. A 503 once lost.
  Result<std::vector<OutputInfo>> outputs();

  // A fresh picture of the named output (empty: the first). The pixels stay valid until the next
  // call on this WaylandScreen.
  Result<PixelView> grab(std::string_view output);

  // Pipelined capture for a recording: one copy always in flight; each newest_frame() takes the
  // newest finished picture without waiting (the same one again when none has finished since).
  // start_stream waits for the first picture.
  std::optional<Failure> start_stream(std::string_view output);
  Result<PixelView> newest_frame();
  void stop_stream();

  // True once the connection has broken.
  bool lost() const;
  // Asks the compositor for a round trip: false when the connection has broken (it is then lost).
  bool alive();

  struct State;

 private:
  explicit WaylandScreen(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

}  // namespace app::wayland
