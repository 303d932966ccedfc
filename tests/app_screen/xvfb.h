// A private X server for the tests that need a display: Xvfb on a display number it picks
// itself, with a known picture painted on its root window.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/image.h"

namespace screen_testing {

struct XvfbOptions {
  bool shared_memory = true;  // false: the server offers no MIT-SHM, so grabs use XGetImage
  int width = 1920;
  int height = 1080;
  std::optional<int> display_number;  // absent: the server picks a free one
};

class Xvfb {
 public:
  // Starts the server and waits until it accepts clients; throws when it cannot.
  explicit Xvfb(XvfbOptions options = {});
  ~Xvfb();
  Xvfb(const Xvfb&) = delete;
  Xvfb& operator=(const Xvfb&) = delete;

  // ":N"
  const std::string& display() const { return display_; }
  pid_t pid() const { return pid_; }
  // Ends the server and waits for it.
  void stop();

 private:
  pid_t pid_ = -1;
  std::string display_;
};

struct Rgb {
  int red = 0;
  int green = 0;
  int blue = 0;
};

struct Rect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  std::uint32_t rgb = 0;  // 0xRRGGBB
};

// Adds a RandR monitor (a part of the root window shown as one screen) to `display`.
struct Monitor {
  const char* name;
  int x, y, width, height;
  bool primary;
};
void add_monitor(const std::string& display, const Monitor& monitor);

// Fills the rectangles on the root window of `display`, in order, and waits until they are drawn.
void paint(const std::string& display, const std::vector<Rect>& rects);

// While it lives, repaints the whole root window of `display` in 16x16 blocks of random colours
// 30 times a second, on a thread of its own: the worst a video encoder meets, for the size a
// recording reaches at its rate ceiling.
class NoisyScreen {
 public:
  explicit NoisyScreen(const std::string& display);

 private:
  std::jthread painter_;
};

// The scene the tests paint on a 1920x1080 screen: a dark grey ground, a solid colour in each
// corner and a yellow block in the middle.
std::vector<Rect> test_scene();

// What each labelled place of the test scene shows, at its centre, in screen coordinates.
struct Place {
  const char* name;
  int x;
  int y;
  std::uint32_t rgb;
};
std::vector<Place> test_scene_places();

// The pixel at (x, y) of an RGB image.
Rgb pixel_at(const app::Image& image, int x, int y);
Rgb rgb_of(std::uint32_t rgb);
// True when each channel is within `tolerance` of the other's.
bool near(Rgb a, Rgb b, int tolerance);
std::string describe(Rgb colour);

}  // namespace screen_testing
