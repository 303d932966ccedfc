#include "xvfb.h"

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <stdexcept>

#include "start_process.h"

namespace screen_testing {

Xvfb::Xvfb(XvfbOptions options) {
  int ready[2];
  if (::pipe(ready) != 0) throw std::runtime_error("pipe");
  // -displayfd: the server picks a free display number and writes it there once it is ready.
  std::vector<std::string> argv = {"Xvfb", "-displayfd", std::to_string(ready[1]), "-screen", "0",
                                   std::to_string(options.width) + "x" +
                                       std::to_string(options.height) + "x24",
                                   "-nolisten", "tcp", "-noreset"};
  if (options.display_number) {
    // Texts here are built by appending: GCC 12 takes `"literal" + std::string` in an optimised
    // build for an overlapping copy and warns (-Wrestrict).
    const std::string display = std::to_string(*options.display_number);
    argv.insert(argv.begin() + 1, std::string(":").append(display));
  }
  if (!options.shared_memory) argv.insert(argv.end(), {"-extension", "MIT-SHM"});
  testing_support::SpawnOptions spawn_options;
  spawn_options.close_in_child = {ready[0]};
  pid_ = testing_support::spawn_process(std::move(argv), spawn_options);
  ::close(ready[1]);
  if (pid_ < 0) {
    ::close(ready[0]);
    throw std::runtime_error("cannot start Xvfb (is the xvfb package installed?)");
  }

  std::string number;
  pollfd wait_for{ready[0], POLLIN, 0};
  while (number.find('\n') == std::string::npos && ::poll(&wait_for, 1, 20000) > 0) {
    char buffer[16];
    const ssize_t n = ::read(ready[0], buffer, sizeof buffer);
    if (n <= 0) break;
    number.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(ready[0]);
  if (number.find('\n') == std::string::npos) {
    stop();
    throw std::runtime_error("Xvfb did not start");
  }
  display_ = std::string(":").append(number, 0, number.find('\n'));
}

Xvfb::~Xvfb() { stop(); }

void Xvfb::stop() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  ::waitpid(pid_, &status, 0);
  pid_ = -1;
}

void paint(const std::string& display_name, const std::vector<Rect>& rects) {
  Display* display = XOpenDisplay(display_name.c_str());
  if (display == nullptr) throw std::runtime_error("cannot open " + display_name + " to paint");
  const Window root = DefaultRootWindow(display);
  GC gc = XCreateGC(display, root, 0, nullptr);
  for (const Rect& rect : rects) {
    XSetForeground(display, gc, rect.rgb);
    XFillRectangle(display, root, gc, rect.x, rect.y, static_cast<unsigned>(rect.width),
                   static_cast<unsigned>(rect.height));
  }
  XSync(display, False);
  XFreeGC(display, gc);
  XCloseDisplay(display);
}

NoisyScreen::NoisyScreen(const std::string& display_name)
    : painter_([display_name](std::stop_token stop) {
        Display* display = XOpenDisplay(display_name.c_str());
        if (display == nullptr) return;
        const Window root = DefaultRootWindow(display);
        GC gc = XCreateGC(display, root, 0, nullptr);
        std::uint32_t colour = 0xABCDEF;
        for (auto next = std::chrono::steady_clock::now(); !stop.stop_requested();
             next += std::chrono::milliseconds(33)) {
          for (int top = 0; top < 1080; top += 16) {
            for (int left = 0; left < 1920; left += 16) {
              colour = colour * 1103515245u + 12345u;
              XSetForeground(display, gc, (colour >> 8) & 0xFFFFFF);
              XFillRectangle(display, root, gc, left, top, 16, 16);
            }
          }
          XSync(display, False);
          std::this_thread::sleep_until(next);
        }
        XFreeGC(display, gc);
        XCloseDisplay(display);
      }) {}

void add_monitor(const std::string& display_name, const Monitor& monitor) {
  Display* display = XOpenDisplay(display_name.c_str());
  if (display == nullptr) throw std::runtime_error("cannot open " + display_name);
  XRRMonitorInfo* info = XRRAllocateMonitor(display, 0);
  info->name = XInternAtom(display, monitor.name, False);
  info->primary = monitor.primary ? True : False;
  info->automatic = False;
  info->x = monitor.x;
  info->y = monitor.y;
  info->width = monitor.width;
  info->height = monitor.height;
  info->mwidth = monitor.width / 4;  // millimetres: about 100 dpi
  info->mheight = monitor.height / 4;
  XRRSetMonitor(display, DefaultRootWindow(display), info);
  XSync(display, False);
  XRRFreeMonitors(info);
  XCloseDisplay(display);
}

std::vector<Rect> test_scene() {
  return {{0, 0, 1920, 1080, 0x202020},      {0, 0, 640, 360, 0xFF0000},
          {1280, 0, 640, 360, 0x00FF00},     {0, 720, 640, 360, 0x0000FF},
          {1280, 720, 640, 360, 0xFFFFFF},   {800, 450, 320, 180, 0xFFFF00}};
}

std::vector<Place> test_scene_places() {
  return {{"red top left", 320, 180, 0xFF0000},       {"green top right", 1600, 180, 0x00FF00},
          {"blue bottom left", 320, 900, 0x0000FF},   {"white bottom right", 1600, 900, 0xFFFFFF},
          {"yellow middle", 960, 540, 0xFFFF00},      {"grey ground", 960, 200, 0x202020}};
}

Rgb pixel_at(const app::Image& image, int x, int y) {
  const std::uint8_t* p = image.pixels.data() + static_cast<std::size_t>(y) * image.stride +
                          static_cast<std::size_t>(x) * 3;
  return {p[0], p[1], p[2]};
}

Rgb rgb_of(std::uint32_t rgb) {
  return {static_cast<int>(rgb >> 16 & 0xFF), static_cast<int>(rgb >> 8 & 0xFF),
          static_cast<int>(rgb & 0xFF)};
}

bool near(Rgb a, Rgb b, int tolerance) {
  return std::abs(a.red - b.red) <= tolerance && std::abs(a.green - b.green) <= tolerance &&
         std::abs(a.blue - b.blue) <= tolerance;
}

std::string describe(Rgb colour) {
  return std::string("(")
      .append(std::to_string(colour.red))
      .append(", ")
      .append(std::to_string(colour.green))
      .append(", ")
      .append(std::to_string(colour.blue))
      .append(")");
}

}  // namespace screen_testing
