#include "app/wayland/wayland_screen.h"

#include <poll.h>
#include <wayland-client.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <functional>
#include <atomic>
#include <condition_variable>
#include <list>
#include <mutex>
#include <thread>
#include <utility>

#include "app/wayland/pixel_layout.h"
#include "app/wayland/shm_buffer.h"
#include "wlr-screencopy-unstable-v1-client-protocol.h"

namespace app::wayland {
namespace {

using Clock = std::chrono::steady_clock;

// Long enough for a compositor that repaints only now and then to serve a copy; short enough
// that a hung compositor is refused while the client still waits.
constexpr std::chrono::milliseconds kAnswerTime{2000};

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

}  // namespace

struct Output {
  WaylandScreen::State* state = nullptr;
  wl_output* proxy = nullptr;
  std::uint32_t global = 0;
  std::uint32_t version = 0;
  std::string name;
  int mode_width = 0;
  int mode_height = 0;
  std::int32_t transform = 0;
};

// One copy of one output into one buffer, from the request to `ready` or `failed`.
struct Capture {
  enum class Stage { kIdle, kAsked, kCopying, kReady, kFailed };
  WaylandScreen::State* state = nullptr;
  zwlr_screencopy_frame_v1* frame = nullptr;
  Stage stage = Stage::kIdle;
  std::optional<std::uint32_t> format;  // the first offered format that can be read
  int width = 0;
  int height = 0;
  std::uint32_t stride = 0;
  std::uint32_t offered = 0;  // the formats offered, for the refusal when none can be read
  bool y_invert = false;
  bool streamed = false;  // one of the stream's slots
  std::int32_t transform = 0;
  std::string failure;
  std::unique_ptr<ShmBuffer> buffer;

  void finish_frame() {
    if (frame != nullptr) zwlr_screencopy_frame_v1_destroy(frame);
    frame = nullptr;
  }
};

struct WaylandScreen::State {
  std::string name;
  wl_display* display = nullptr;
  wl_registry* registry = nullptr;
  wl_shm* shm = nullptr;
  zwlr_screencopy_manager_v1* manager = nullptr;
  std::uint32_t manager_version = 0;
  std::vector<std::unique_ptr<Output>> outputs;
  std::atomic<bool> lost{false};
  std::list<bool> sync_flags;  // one for each round trip under way

  Capture shot;
  Image shot_upright;

  // Pipelined capture: three slots, one being read by the recorder, one holding the newest
  // finished picture, one being copied into. A pump thread handles the compositor's events as
  // they come, so a finished copy is followed by the next at once; `stream_mutex` guards the
  // roles and everything the events change while it runs.
  Capture slots[3];
  int reading = -1;
  int ready = -1;
  int flying = -1;
  std::uint32_t stream_global = 0;
  std::optional<Failure> stream_failure;
  std::mutex stream_mutex;
  std::condition_variable stream_changed;
  std::thread pump;
  std::atomic<bool> pump_stop{false};
  bool reading_converted = false;
  PixelView stream_view;
  Image stream_upright;

  Failure lost_failure() const {
    return {FailureKind::kUnavailable,
            "lost the connection to the Wayland display " + quoted(name)};
  }
};

namespace {

using State = WaylandScreen::State;

bool lose(State& s) {
  s.lost = true;
  return false;
}

// Reads and handles what the compositor has sent, waiting up to `timeout` for something to
// arrive. False when the connection has broken.
bool dispatch(State& s, std::chrono::milliseconds timeout) {
  if (s.lost) return false;
  while (wl_display_prepare_read(s.display) != 0) {
    if (wl_display_dispatch_pending(s.display) < 0) return lose(s);
  }
  if (wl_display_flush(s.display) < 0 && errno != EAGAIN) {
    wl_display_cancel_read(s.display);
    return lose(s);
  }
  pollfd ready{wl_display_get_fd(s.display), POLLIN, 0};
  const int polled = ::poll(&ready, 1, static_cast<int>(timeout.count()));
  if (polled <= 0) {
    wl_display_cancel_read(s.display);
    return polled == 0 || errno == EINTR || lose(s);
  }
  if (wl_display_read_events(s.display) < 0) return lose(s);
  if (wl_display_dispatch_pending(s.display) < 0) return lose(s);
  return true;
}

// Dispatches until `done` holds. Nothing, or why not (lost, or no answer in time).
std::optional<Failure> wait_until(State& s, const std::function<bool()>& done) {
  const Clock::time_point deadline = Clock::now() + kAnswerTime;
  while (!done()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return Failure{FailureKind::kTimedOut,
                     "the Wayland display " + quoted(s.name) + " did not answer within " +
                         std::to_string(kAnswerTime.count() / 1000) + " seconds"};
    }
    if (!dispatch(s, left)) return s.lost_failure();
  }
  return std::nullopt;
}

void on_sync_done(void* data, wl_callback* callback, std::uint32_t) {
  *static_cast<bool*>(data) = true;
  wl_callback_destroy(callback);
}
const wl_callback_listener kSyncListener{on_sync_done};

// Waits until the compositor has handled every request sent so far and sent what they caused.
std::optional<Failure> round_trip(State& s) {
  if (s.lost) return s.lost_failure();
  // The flag lives as long as the connection: after a failed wait the callback may still come.
  auto done = s.sync_flags.insert(s.sync_flags.end(), false);
  wl_callback* callback = wl_display_sync(s.display);
  wl_callback_add_listener(callback, &kSyncListener, &*done);
  auto failure = wait_until(s, [&done] { return *done; });
  if (!failure) s.sync_flags.erase(done);
  return failure;
}

// wl_output

void on_geometry(void* data, wl_output*, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                 std::int32_t, const char*, const char*, std::int32_t transform) {
  static_cast<Output*>(data)->transform = transform;
}
void on_mode(void* data, wl_output*, std::uint32_t flags, std::int32_t width, std::int32_t height,
             std::int32_t) {
  if ((flags & WL_OUTPUT_MODE_CURRENT) == 0) return;
  auto* output = static_cast<Output*>(data);
  output->mode_width = width;
  output->mode_height = height;
}
void on_output_done(void*, wl_output*) {}
void on_scale(void*, wl_output*, std::int32_t) {}
void on_name(void* data, wl_output*, const char* name) { static_cast<Output*>(data)->name = name; }
void on_description(void*, wl_output*, const char*) {}
const wl_output_listener kOutputListener{on_geometry, on_mode,  on_output_done,
                                         on_scale,    on_name,  on_description};

void release_output(Output& output) {
  if (output.version >= WL_OUTPUT_RELEASE_SINCE_VERSION) {
    wl_output_release(output.proxy);
  } else {
    wl_output_destroy(output.proxy);
  }
}

// wl_registry

void on_global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
               std::uint32_t version) {
  auto& s = *static_cast<State*>(data);
  const std::string_view kind(interface);
  if (kind == wl_output_interface.name) {
    auto output = std::make_unique<Output>();
    output->state = &s;
    output->global = name;
    output->version = std::min<std::uint32_t>(version, 4);
    output->proxy = static_cast<wl_output*>(
        wl_registry_bind(registry, name, &wl_output_interface, output->version));
    wl_output_add_listener(output->proxy, &kOutputListener, output.get());
    s.outputs.push_back(std::move(output));
  } else if (kind == wl_shm_interface.name && s.shm == nullptr) {
    s.shm = static_cast<wl_shm*>(wl_registry_bind(registry, name, &wl_shm_interface, 1));
  } else if (kind == zwlr_screencopy_manager_v1_interface.name && s.manager == nullptr) {
    s.manager_version = std::min<std::uint32_t>(version, 3);
    s.manager = static_cast<zwlr_screencopy_manager_v1*>(wl_registry_bind(
        registry, name, &zwlr_screencopy_manager_v1_interface, s.manager_version));
  }
}

void on_global_remove(void* data, wl_registry*, std::uint32_t name) {
  auto& outputs = static_cast<State*>(data)->outputs;
  for (auto it = outputs.begin(); it != outputs.end(); ++it) {
    if ((*it)->global != name) continue;
    release_output(**it);
    outputs.erase(it);
    return;
  }
}
const wl_registry_listener kRegistryListener{on_global, on_global_remove};

// zwlr_screencopy_frame_v1

void stream_copy_settled(State& s, Capture& c);

void copy_into_buffer(Capture& c) {
  State& s = *c.state;
  if (!c.format) {
    c.stage = Capture::Stage::kFailed;
    c.failure = "the compositor of " + quoted(s.name) +
                " offers the screen only in pixel formats this service cannot read";
    return;
  }
  const std::size_t stride = c.stride;
  if (!c.buffer || !c.buffer->fits(c.width, c.height, stride, *c.format)) {
    c.buffer.reset();
    c.buffer = ShmBuffer::create(s.shm, c.width, c.height, stride, *c.format);
  }
  if (!c.buffer) {
    c.stage = Capture::Stage::kFailed;
    c.failure = "cannot make a shared-memory buffer for the screen (" +
                std::to_string(c.width) + "x" + std::to_string(c.height) + ")";
    return;
  }
  zwlr_screencopy_frame_v1_copy(c.frame, c.buffer->buffer());
  c.stage = Capture::Stage::kCopying;
}

void on_frame_buffer(void* data, zwlr_screencopy_frame_v1*, std::uint32_t format,
                     std::uint32_t width, std::uint32_t height, std::uint32_t stride) {
  auto& c = *static_cast<Capture*>(data);
  c.offered = format;
  if (c.format || !byte_order_of(format)) return;
  c.format = format;
  c.width = static_cast<int>(width);
  c.height = static_cast<int>(height);
  c.stride = stride;
  // Before version 3 this is the only offer: copy at once. From 3 on, wait for buffer_done.
  if (c.state->manager_version < 3) copy_into_buffer(c);
}
void on_frame_flags(void* data, zwlr_screencopy_frame_v1*, std::uint32_t flags) {
  static_cast<Capture*>(data)->y_invert = (flags & ZWLR_SCREENCOPY_FRAME_V1_FLAGS_Y_INVERT) != 0;
}
void on_frame_ready(void* data, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                    std::uint32_t) {
  auto& c = *static_cast<Capture*>(data);
  c.stage = Capture::Stage::kReady;
  c.finish_frame();
  if (c.streamed) stream_copy_settled(*c.state, c);
}
void on_frame_failed(void* data, zwlr_screencopy_frame_v1*) {
  auto& c = *static_cast<Capture*>(data);
  c.stage = Capture::Stage::kFailed;
  c.failure = "the compositor of " + quoted(c.state->name) + " could not copy the screen";
  c.finish_frame();
  if (c.streamed) stream_copy_settled(*c.state, c);
}
void on_frame_damage(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                     std::uint32_t, std::uint32_t) {}
void on_frame_dmabuf(void*, zwlr_screencopy_frame_v1*, std::uint32_t, std::uint32_t,
                     std::uint32_t) {}
void on_frame_buffer_done(void* data, zwlr_screencopy_frame_v1*) {
  auto& c = *static_cast<Capture*>(data);
  if (c.stage == Capture::Stage::kAsked) copy_into_buffer(c);
}
const zwlr_screencopy_frame_v1_listener kFrameListener{
    on_frame_buffer, on_frame_flags,  on_frame_ready,      on_frame_failed,
    on_frame_damage, on_frame_dmabuf, on_frame_buffer_done};

Output* find_output(State& s, std::string_view name) {
  if (s.outputs.empty()) return nullptr;
  if (name.empty()) return s.outputs.front().get();
  for (auto& output : s.outputs) {
    if (output->name == name) return output.get();
  }
  return nullptr;
}

Output* find_output(State& s, std::uint32_t global) {
  for (auto& output : s.outputs) {
    if (output->global == global) return output.get();
  }
  return nullptr;
}

// Outputs the compositor does not name (wl_output before version 4) are named by position.
void name_unnamed_outputs(State& s) {
  for (std::size_t i = 0; i < s.outputs.size(); ++i) {
    if (s.outputs[i]->name.empty()) s.outputs[i]->name = "output-" + std::to_string(i + 1);
  }
}

Failure no_output(const State& s, std::string_view name) {
  if (name.empty()) {
    return {FailureKind::kUnavailable, "the Wayland display " + quoted(s.name) + " has no outputs"};
  }
  return {FailureKind::kUnavailable, "the output " + quoted(std::string(name)) +
                                         " of the Wayland display " + quoted(s.name) + " is gone"};
}

// Asks for a copy of `output` into `c` (its buffer is kept and reused when the size stays).
void ask_copy(Capture& c, Output& output) {
  State& s = *c.state;
  c.finish_frame();
  c.stage = Capture::Stage::kAsked;
  c.format.reset();
  c.y_invert = false;
  c.failure.clear();
  c.transform = output.transform;
  // The whole output, no cursor: damage-driven copies would never come on a still screen.
  c.frame = zwlr_screencopy_manager_v1_capture_output(s.manager, 0, output.proxy);
  zwlr_screencopy_frame_v1_add_listener(c.frame, &kFrameListener, &c);
}

bool settled(const Capture& c) {
  return c.stage == Capture::Stage::kReady || c.stage == Capture::Stage::kFailed;
}

BufferLayout layout_of(const Capture& c) {
  return {c.width, c.height, c.stride, *byte_order_of(*c.format),
          OutputTransform::from_protocol(c.transform), c.y_invert};
}

// The upright picture of a finished copy: the buffer itself when it is upright already.
PixelView upright_view(const Capture& c, Image& scratch) {
  const BufferLayout layout = layout_of(c);
  if (already_upright(layout)) {
    return {c.buffer->pixels(), c.width, c.height, layout.stride, PixelFormat::kBgrx};
  }
  make_upright(c.buffer->pixels(), layout, scratch);
  return view_of(scratch);
}

// Asks for the stream's next copy into the slot neither read nor holding the newest picture.
// False (with the stream's failure set) when the recorded output is gone.
bool ask_next_copy(State& s) {
  Output* output = find_output(s, s.stream_global);
  if (output == nullptr) {
    s.stream_failure =
        Failure{FailureKind::kUnavailable,
                "the recorded output of the Wayland display " + quoted(s.name) + " is gone"};
    return false;
  }
  for (int i = 0; i < 3; ++i) {
    if (i == s.reading || i == s.ready) continue;
    s.flying = i;
    ask_copy(s.slots[i], *output);
    s.slots[i].streamed = true;
    wl_display_flush(s.display);
    return true;
  }
  return false;
}

// Called on the pump thread, under the stream's lock, when a streamed copy has finished.
void stream_copy_settled(State& s, Capture& c) {
  s.flying = -1;
  if (c.stage == Capture::Stage::kFailed) {
    s.stream_failure = Failure{FailureKind::kUnavailable, c.failure};
  } else {
    s.ready = static_cast<int>(&c - s.slots);
    ask_next_copy(s);
  }
  s.stream_changed.notify_all();
}

// The stream's event loop: reads the compositor's events as they arrive and handles them under
// the stream's lock, until told to stop or the connection breaks.
void pump_events(State& s) {
  while (!s.pump_stop) {
    if (wl_display_prepare_read(s.display) != 0) {
      std::lock_guard lock(s.stream_mutex);
      if (wl_display_dispatch_pending(s.display) < 0) s.lost = true;
      if (s.lost) break;
      continue;
    }
    wl_display_flush(s.display);
    pollfd ready{wl_display_get_fd(s.display), POLLIN, 0};
    const int polled = ::poll(&ready, 1, 20);
    bool broken = false;
    if (polled > 0) {
      broken = wl_display_read_events(s.display) < 0;
    } else {
      wl_display_cancel_read(s.display);
      broken = polled < 0 && errno != EINTR;
    }
    std::lock_guard lock(s.stream_mutex);
    if (broken || wl_display_dispatch_pending(s.display) < 0) s.lost = true;
    if (s.lost) {
      s.stream_changed.notify_all();
      break;
    }
  }
}

}  // namespace

Result<std::unique_ptr<WaylandScreen>> WaylandScreen::connect(const std::string& display) {
  const std::string name = display.empty() ? "wayland-0" : display;
  // A socket name is looked for in XDG_RUNTIME_DIR, which must then be set.
  const char* runtime_dir = std::getenv("XDG_RUNTIME_DIR");
  if (!name.starts_with("/") && (runtime_dir == nullptr || *runtime_dir == '\0')) {
    return Failure{FailureKind::kUnavailable, "cannot reach the Wayland display " + quoted(name) +
                            " (XDG_RUNTIME_DIR is not set)"};
  }
  wl_display* connection = wl_display_connect(name.c_str());
  if (connection == nullptr) {
    return Failure{FailureKind::kUnavailable, "cannot reach the Wayland display " + quoted(name) +
                            " (no compositor answers on it for this user)"};
  }
  auto state = std::make_unique<State>();
  state->name = name;
  state->display = connection;
  state->shot.state = state.get();
  for (Capture& slot : state->slots) slot.state = state.get();
  std::unique_ptr<WaylandScreen> screen(new WaylandScreen(std::move(state)));
  State& s = *screen->state_;
  s.registry = wl_display_get_registry(s.display);
  wl_registry_add_listener(s.registry, &kRegistryListener, &s);
  // The first trip brings the globals; the second what the bound outputs tell of themselves.
  for (int trip = 0; trip < 2; ++trip) {
    if (auto failure = round_trip(s)) return *failure;
  }
  name_unnamed_outputs(s);
  return screen;
}

WaylandScreen::WaylandScreen(std::unique_ptr<State> state) : state_(std::move(state)) {}

WaylandScreen::~WaylandScreen() {
  stop_stream();
  State& s = *state_;
  s.shot.finish_frame();
  s.shot.buffer.reset();
  for (Capture& slot : s.slots) {
    slot.finish_frame();
    slot.buffer.reset();
  }
  for (auto& output : s.outputs) release_output(*output);
  s.outputs.clear();
  if (s.manager != nullptr) zwlr_screencopy_manager_v1_destroy(s.manager);
  if (s.shm != nullptr) wl_shm_destroy(s.shm);
  if (s.registry != nullptr) wl_registry_destroy(s.registry);
  wl_display_disconnect(s.display);
}

const std::string& WaylandScreen::display_name() const { return state_->name; }

bool WaylandScreen::can_capture() const {
  return state_->manager != nullptr && state_->shm != nullptr;
}

Result<std::vector<OutputInfo>> WaylandScreen::outputs() {
  State& s = *state_;
  // Two trips: new outputs are bound in the first, and describe themselves in the second.
  for (int trip = 0; trip < 2; ++trip) {
    if (auto failure = round_trip(s)) return *failure;
  }
  name_unnamed_outputs(s);
  std::vector<OutputInfo> list;
  for (const auto& output : s.outputs) {
    const bool swap = OutputTransform::from_protocol(output->transform).swaps_sides();
    list.push_back({output->name, swap ? output->mode_height : output->mode_width,
                    swap ? output->mode_width : output->mode_height});
  }
  return list;
}

Result<PixelView> WaylandScreen::grab(std::string_view name) {
  State& s = *state_;
  if (s.lost) return s.lost_failure();
  Output* output = find_output(s, name);
  if (output == nullptr) {
    // A new output may have come since the last look.
    if (auto failure = round_trip(s)) return *failure;
    name_unnamed_outputs(s);
    output = find_output(s, name);
    if (output == nullptr) return no_output(s, name);
  }
  ask_copy(s.shot, *output);
  if (auto failure = wait_until(s, [&s] { return settled(s.shot); })) {
    s.shot.finish_frame();
    s.shot.stage = Capture::Stage::kIdle;
    return *failure;
  }
  if (s.shot.stage == Capture::Stage::kFailed) {
    return Failure{FailureKind::kUnavailable, s.shot.failure};
  }
  return upright_view(s.shot, s.shot_upright);
}

std::optional<Failure> WaylandScreen::start_stream(std::string_view name) {
  State& s = *state_;
  stop_stream();
  if (s.lost) return s.lost_failure();
  Output* output = find_output(s, name);
  if (output == nullptr) return no_output(s, name);
  s.stream_global = output->global;
  s.stream_failure.reset();
  s.reading = s.ready = -1;
  s.flying = 0;
  ask_copy(s.slots[0], *output);
  s.slots[0].streamed = true;
  wl_display_flush(s.display);
  s.pump_stop = false;
  s.pump = std::thread(pump_events, std::ref(s));
  std::unique_lock lock(s.stream_mutex);
  s.stream_changed.wait_for(lock, kAnswerTime, [&s] {
    return s.ready >= 0 || s.stream_failure || s.lost;
  });
  if (s.ready >= 0) return std::nullopt;
  std::optional<Failure> failure = s.stream_failure;
  if (!failure && s.lost) failure = s.lost_failure();
  if (!failure) {
    failure = Failure{FailureKind::kTimedOut,
                      "the Wayland display " + quoted(s.name) + " did not answer within " +
                          std::to_string(kAnswerTime.count() / 1000) + " seconds"};
  }
  lock.unlock();
  stop_stream();
  return failure;
}

Result<PixelView> WaylandScreen::newest_frame() {
  State& s = *state_;
  {
    std::lock_guard lock(s.stream_mutex);
    if (!s.pump.joinable()) return Failure{FailureKind::kInternal, "no screen stream is running"};
    if (s.stream_failure) return *s.stream_failure;
    if (s.lost) return s.lost_failure();
    if (s.ready >= 0) {
      // The newest finished copy is read from now on; the slot read so far is free again.
      s.reading = std::exchange(s.ready, -1);
      s.reading_converted = false;
      if (s.flying < 0 && !ask_next_copy(s)) return *s.stream_failure;
    }
    if (s.reading < 0) return Failure{FailureKind::kInternal, "no screen picture yet"};
  }
  // The pump never touches the slot being read, so it is converted without the lock.
  if (!s.reading_converted) {
    s.stream_view = upright_view(s.slots[s.reading], s.stream_upright);
    s.reading_converted = true;
  }
  return s.stream_view;
}

void WaylandScreen::stop_stream() {
  State& s = *state_;
  if (s.pump.joinable()) {
    s.pump_stop = true;
    s.pump.join();
  }
  for (Capture& slot : s.slots) {
    slot.finish_frame();
    slot.stage = Capture::Stage::kIdle;
    slot.streamed = false;
  }
  s.reading = s.ready = s.flying = -1;
}

bool WaylandScreen::lost() const { return state_->lost; }

bool WaylandScreen::alive() { return !round_trip(*state_) && !state_->lost; }

}  // namespace app::wayland
