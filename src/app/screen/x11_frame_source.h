// The screen of an X server as a frame source: the root window grabbed whole, each RandR monitor
// cut out of it.
#pragma once

#include "app/screen/frame_source.h"

namespace app {

// Takes over a connected X11Screen.
std::unique_ptr<FrameSource> make_x11_frame_source(std::unique_ptr<X11Screen> screen);

}  // namespace app
