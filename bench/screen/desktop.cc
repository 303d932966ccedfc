#include "desktop.h"

#include <cstdint>
#include <vector>

#include "xvfb.h"

namespace screen_bench {

void paint_desktop(const std::string& display) {
  std::vector<screen_testing::Rect> rects = {{0, 0, 1920, 1080, 0x2B3A4A}};
  std::uint32_t colour = 0x123456;
  for (int y = 40; y < 1040; y += 250) {
    for (int x = 40; x < 1880; x += 470) {
      colour = colour * 1103515245u + 12345u;
      rects.push_back({x, y, 440, 230, 0xE0E0E0});
      rects.push_back({x, y, 440, 24, colour & 0xFFFFFF});
      for (int line = y + 36; line < y + 220; line += 12) {
        colour = colour * 1103515245u + 12345u;
        rects.push_back({x + 12, line, 60 + static_cast<int>(colour % 360), 6, 0x303030});
      }
    }
  }
  screen_testing::paint(display, rects);
}

}  // namespace screen_bench
