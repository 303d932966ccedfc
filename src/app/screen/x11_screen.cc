#include "app/screen/x11_screen.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XShm.h>
#include <X11/extensions/Xrandr.h>
#include <sys/ipc.h>
#include <sys/shm.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string_view>

namespace app {

struct X11Screen::State {
  Display* display = nullptr;
  Window root = 0;
  Visual* visual = nullptr;
  int depth = 0;
  std::string name;
  bool xwayland = false;
  bool lost = false;
  GrabMethod method = GrabMethod::kGetImage;
  int width = 0;
  int height = 0;
  // The last grab: a shared-memory image that every grab refills, or the image XGetImage made.
  XImage* image = nullptr;
  XShmSegmentInfo segment{};
};

namespace {

// Xlib reports protocol errors through one handler for the whole process, called on the thread
// that reads the error. Requests that may fail run inside an ErrorTrap, which collects the error.
thread_local int* trapped_error_code = nullptr;

int on_x_error(Display*, XErrorEvent* event) {
  if (trapped_error_code != nullptr) {
    if (*trapped_error_code == 0) *trapped_error_code = event->error_code;
  } else {
    std::fprintf(stderr, "tirvane-app: X error %d on request %d\n", event->error_code,
                 event->request_code);
  }
  return 0;  // Xlib's own handler would end the process
}

// A broken connection runs the process-wide handler, then the display's exit handler; Xlib's own
// exit handler ends the process, ours marks the screen lost so the next request reconnects.
int on_x_io_error(Display*) { return 0; }

void on_connection_lost(Display*, void* state) {
  static_cast<X11Screen::State*>(state)->lost = true;
}

void prepare_xlib() {
  static std::once_flag once;
  std::call_once(once, [] {
    XInitThreads();
    XSetErrorHandler(on_x_error);
    XSetIOErrorHandler(on_x_io_error);
  });
}

class ErrorTrap {
 public:
  explicit ErrorTrap(Display* display) : display_(display), outer_(trapped_error_code) {
    trapped_error_code = &code_;
  }
  ~ErrorTrap() { trapped_error_code = outer_; }
  ErrorTrap(const ErrorTrap&) = delete;
  ErrorTrap& operator=(const ErrorTrap&) = delete;

  // The first error so far, or 0.
  int code() const { return code_; }
  // Waits until the server has handled every request sent, then the first error, or 0.
  int sync() {
    XSync(display_, False);
    return code_;
  }

 private:
  Display* display_;
  int* outer_;
  int code_ = 0;
};

std::string quoted(const std::string& text) { return "\"" + text + "\""; }

Failure cannot_open(const DisplayEnvironment& environment) {
  const bool wayland = environment.wayland_session;
  if (!environment.display || environment.display->empty()) {
    if (wayland) {
      return {FailureKind::kUnavailable,
              "no X display: this is a Wayland session and the service has no XWayland access "
              "(DISPLAY is not set); start the service inside your desktop session with XWayland "
              "running"};
    }
    return {FailureKind::kUnavailable, kNoDisplayMessage};
  }
  if (wayland) {
    return {FailureKind::kUnavailable,
            "no X display: cannot open XWayland's display " + quoted(*environment.display) +
                " in this Wayland session (XWayland is not running or does not admit this "
                "user); start the service inside your desktop session"};
  }
  return {FailureKind::kUnavailable,
          "no X display: cannot open " + quoted(*environment.display) +
              "; set DISPLAY or start the service inside your desktop session"};
}

Failure lost_failure(const X11Screen::State& state) {
  return {FailureKind::kUnavailable, "lost the connection to the X display " + quoted(state.name)};
}

// The pixel layout everything downstream takes as is: 8 bits each of blue, green, red and
// padding in memory, 4 bytes a pixel.
bool has_bgrx_pixels(Display* display, Visual* visual, int depth) {
  if (visual->c_class != TrueColor || visual->red_mask != 0xFF0000 ||
      visual->green_mask != 0xFF00 || visual->blue_mask != 0xFF ||
      ImageByteOrder(display) != LSBFirst || (depth != 24 && depth != 32)) {
    return false;
  }
  int count = 0;
  XPixmapFormatValues* formats = XListPixmapFormats(display, &count);
  bool four_bytes = false;
  for (int i = 0; i < count; ++i) {
    if (formats[i].depth == depth) four_bytes = formats[i].bits_per_pixel == 32;
  }
  XFree(formats);
  return four_bytes;
}

void release_image(X11Screen::State& state) {
  if (state.image == nullptr) return;
  if (state.method == GrabMethod::kSharedMemory) {
    if (!state.lost) XShmDetach(state.display, &state.segment);
    shmdt(state.segment.shmaddr);
    state.segment = {};
  }
  // A shared-memory XImage frees only itself; one from XGetImage frees its pixels too.
  XDestroyImage(state.image);
  state.image = nullptr;
}

// A shared-memory image of the current size, attached to the server; false when the server
// refuses (a remote connection, another user's server, no segments left).
bool attach_shared_image(X11Screen::State& state) {
  XImage* image = XShmCreateImage(state.display, state.visual,
                                  static_cast<unsigned>(state.depth), ZPixmap, nullptr,
                                  &state.segment, static_cast<unsigned>(state.width),
                                  static_cast<unsigned>(state.height));
  if (image == nullptr) return false;
  const auto size =
      static_cast<std::size_t>(image->bytes_per_line) * static_cast<std::size_t>(image->height);
  state.segment.shmid = shmget(IPC_PRIVATE, size, IPC_CREAT | 0600);
  if (state.segment.shmid < 0) {
    XDestroyImage(image);
    return false;
  }
  void* address = shmat(state.segment.shmid, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(state.segment.shmid, IPC_RMID, nullptr);
    XDestroyImage(image);
    return false;
  }
  state.segment.shmaddr = image->data = static_cast<char*>(address);
  state.segment.readOnly = False;
  ErrorTrap trap(state.display);
  XShmAttach(state.display, &state.segment);
  const int error = trap.sync();
  // The segment now lives only as long as its attachments: nothing leaks if the process dies.
  shmctl(state.segment.shmid, IPC_RMID, nullptr);
  if (error != 0 || state.lost) {
    shmdt(address);
    state.segment = {};
    XDestroyImage(image);
    return false;
  }
  state.image = image;
  return true;
}

}  // namespace

Result<std::unique_ptr<X11Screen>> X11Screen::open(const DisplayEnvironment& environment) {
  if (!environment.display || environment.display->empty()) return cannot_open(environment);
  prepare_xlib();
  auto state = std::make_unique<State>();
  state->name = *environment.display;
  state->display = XOpenDisplay(state->name.c_str());
  if (state->display == nullptr) return cannot_open(environment);
  XSetIOErrorExitHandler(state->display, on_connection_lost, state.get());
  // From here on the X11Screen owns the connection and closes it on every path.
  std::unique_ptr<X11Screen> screen(new X11Screen(std::move(state)));
  State& s = *screen->state_;

  s.root = DefaultRootWindow(s.display);
  XWindowAttributes attributes;
  if (XGetWindowAttributes(s.display, s.root, &attributes) == 0 || s.lost) {
    return lost_failure(s);
  }
  s.visual = attributes.visual;
  s.depth = attributes.depth;
  s.width = attributes.width;
  s.height = attributes.height;
  if (!has_bgrx_pixels(s.display, s.visual, s.depth)) {
    return Failure{FailureKind::kUnavailable,
                   "the screen of " + quoted(s.name) +
                       " uses a pixel format that cannot be captured (depth " +
                       std::to_string(s.depth) + "); run the display in 24-bit colour"};
  }
  int opcode = 0, first_event = 0, first_error = 0;
  s.xwayland = XQueryExtension(s.display, "XWAYLAND", &opcode, &first_event, &first_error);
  // Older XWayland has no extension of its own, but names every output XWAYLAND0, XWAYLAND1...
  for (const X11Monitor& monitor : screen->monitors()) {
    if (monitor.name.starts_with("XWAYLAND")) s.xwayland = true;
  }
  if (XShmQueryExtension(s.display) && attach_shared_image(s)) {
    s.method = GrabMethod::kSharedMemory;
  }
  return screen;
}

X11Screen::X11Screen(std::unique_ptr<State> state) : state_(std::move(state)) {}

X11Screen::~X11Screen() {
  release_image(*state_);
  // Once the connection has broken, Xlib leaves the display locked by the thread that met the
  // break (a recording's grabbing thread, say), and XCloseDisplay would wait for that lock for
  // ever. A lost display is left as it is: its memory and socket stay, a few kilobytes for each
  // time a display goes away, while the service goes on answering.
  if (!state_->lost) XCloseDisplay(state_->display);
}

Result<PixelView> X11Screen::grab() {
  State& s = *state_;
  if (s.lost) return lost_failure(s);
  XWindowAttributes attributes;
  if (XGetWindowAttributes(s.display, s.root, &attributes) == 0 || s.lost) {
    return lost_failure(s);
  }
  if (attributes.width != s.width || attributes.height != s.height) {
    release_image(s);
    s.width = attributes.width;
    s.height = attributes.height;
  }
  if (s.method == GrabMethod::kSharedMemory && s.image == nullptr && !attach_shared_image(s)) {
    s.method = GrabMethod::kGetImage;
  }

  ErrorTrap trap(s.display);
  if (s.method == GrabMethod::kSharedMemory) {
    const bool grabbed = XShmGetImage(s.display, s.root, s.image, 0, 0, AllPlanes);
    if (s.lost) return lost_failure(s);
    if (!grabbed || trap.code() != 0) {
      return Failure{FailureKind::kInternal,
                     "cannot grab the screen (X error " + std::to_string(trap.code()) + ")"};
    }
  } else {
    release_image(s);
    s.image = XGetImage(s.display, s.root, 0, 0, static_cast<unsigned>(s.width),
                        static_cast<unsigned>(s.height), AllPlanes, ZPixmap);
    if (s.lost) return lost_failure(s);
    if (s.image == nullptr) {
      return Failure{FailureKind::kInternal,
                     "cannot grab the screen (X error " + std::to_string(trap.code()) + ")"};
    }
  }
  return PixelView{reinterpret_cast<const std::uint8_t*>(s.image->data), s.width, s.height,
                   static_cast<std::size_t>(s.image->bytes_per_line), PixelFormat::kBgrx};
}

int X11Screen::width() const { return state_->width; }
int X11Screen::height() const { return state_->height; }
GrabMethod X11Screen::method() const { return state_->method; }
std::string X11Screen::display_name() const { return state_->name; }
bool X11Screen::is_xwayland() const { return state_->xwayland; }
bool X11Screen::lost() const { return state_->lost; }

std::vector<X11Monitor> X11Screen::monitors() {
  State& s = *state_;
  std::vector<X11Monitor> found;
  int event_base = 0, error_base = 0, major = 0, minor = 0;
  if (s.lost || !XRRQueryExtension(s.display, &event_base, &error_base) ||
      !XRRQueryVersion(s.display, &major, &minor) || (major == 1 && minor < 5)) {
    return found;
  }
  int count = 0;
  XRRMonitorInfo* monitors = XRRGetMonitors(s.display, s.root, True, &count);
  if (monitors == nullptr) return found;
  for (int i = 0; i < count; ++i) {
    char* name = XGetAtomName(s.display, monitors[i].name);
    found.push_back({name != nullptr ? name : "monitor-" + std::to_string(i + 1), monitors[i].x,
                     monitors[i].y, monitors[i].width, monitors[i].height,
                     monitors[i].primary != 0});
    if (name != nullptr) XFree(name);
  }
  XRRFreeMonitors(monitors);
  return found;
}

std::vector<X11Monitor> X11Screen::visible_monitors() {
  std::vector<X11Monitor> list;
  const int width = state_->width;
  const int height = state_->height;
  for (X11Monitor monitor : monitors()) {
    const int right = std::min(monitor.x + monitor.width, width);
    const int bottom = std::min(monitor.y + monitor.height, height);
    monitor.x = std::max(monitor.x, 0);
    monitor.y = std::max(monitor.y, 0);
    monitor.width = right - monitor.x;
    monitor.height = bottom - monitor.y;
    if (monitor.width > 0 && monitor.height > 0) list.push_back(monitor);
  }
  if (list.empty()) list.push_back({std::string(kX11ScreenOutput), 0, 0, width, height, true});
  std::stable_partition(list.begin(), list.end(),
                        [](const X11Monitor& monitor) { return monitor.primary; });
  return list;
}

Result<PixelView> X11Screen::grab(std::string_view output) {
  auto grabbed = grab();
  if (failed(grabbed)) return grabbed;
  const PixelView whole = std::get<PixelView>(grabbed);
  const std::vector<X11Monitor> monitors = visible_monitors();
  const X11Monitor* chosen = output.empty() ? &monitors.front() : nullptr;
  for (const X11Monitor& monitor : monitors) {
    if (monitor.name == output) chosen = &monitor;
  }
  if (chosen == nullptr) {
    return Failure{FailureKind::kUnavailable, "the monitor " + quoted(std::string(output)) +
                                                  " of the X display " + quoted(state_->name) +
                                                  " is gone"};
  }
  PixelView part = whole;
  part.pixels += static_cast<std::size_t>(chosen->y) * whole.stride +
                 static_cast<std::size_t>(chosen->x) * 4;
  part.width = chosen->width;
  part.height = chosen->height;
  return part;
}

Result<std::vector<ScreenOutput>> X11Screen::outputs() {
  if (!alive()) return lost_failure(*state_);
  std::vector<ScreenOutput> list;
  for (const X11Monitor& monitor : visible_monitors()) {
    list.push_back({monitor.name, monitor.width, monitor.height, monitor.primary});
  }
  return list;
}

std::vector<Header> X11Screen::warnings() const {
  if (!state_->xwayland) return {};
  return {{"X-Screen-Warning", "XWayland shows only X11 windows; Wayland windows come out black"}};
}

bool X11Screen::alive() {
  if (!state_->lost) XSync(state_->display, False);
  return !state_->lost;
}

}  // namespace app
