// The picture the screen benchmarks put on their Xvfb.
#pragma once

#include <string>

namespace screen_bench {

// A desktop-like picture: a ground, a grid of coloured panes, and thin lines like text rows.
void paint_desktop(const std::string& display);

}  // namespace screen_bench
