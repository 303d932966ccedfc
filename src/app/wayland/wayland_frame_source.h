// A Wayland compositor's outputs as a frame source, through wlr-screencopy.
#pragma once

#include "app/screen/frame_source.h"
#include "app/wayland/wayland_screen.h"

namespace app::wayland {

// Takes over a connected WaylandScreen that can capture.
std::unique_ptr<FrameSource> make_screencopy_frame_source(std::unique_ptr<WaylandScreen> screen);

}  // namespace app::wayland
