// The focus sweep: drive a camera's lens through its focus range, measure how sharp the picture
// is at each position, and leave the lens at the sharpest one. It works on any Device whose
// controls include "focus".
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

#include "app/device.h"
#include "app/failure.h"
#include "app/image.h"

namespace app {

// Sharpness of a gray picture: the variance of its 3x3 Laplacian. Edges and fine detail give a
// large value, and blur lowers it quickly. 0 for pictures smaller than 3x3.
double sharpness(const Image& gray);

struct FocusSample {
  std::int64_t focus = 0;
  double sharpness = 0;
};

struct FocusSweep {
  std::int64_t focus = 0;  // the position locked, the sharpest measured
  double sharpness = 0;
  std::vector<FocusSample> samples;  // in the order measured
  std::chrono::milliseconds took{0};
};

// Measures a few positions spread over the range, from the end nearer the lens until the picture
// is clearly past its sharpest, then narrows the bracket around the best one until its
// neighbours one step either side bound it, and sets focus to the sharpest position found. After
// each move it takes frames until the picture holds still (the lens has arrived), within the
// device's focus_settle_time(); once the lens's travel times are known from such moves, on a
// device that says when each frame's exposure began, one frame exposed after the lens must have
// arrived is enough. A device without a focus control is refused (409). When a
// capture or a setting fails midway, the lens is put back where it was.
//
// Holds the device's lock for the whole sweep, so no other request moves the lens meanwhile.
Result<FocusSweep> sweep_focus(Device& device);
// The same on a lens whose device lock the caller already holds (see Device::with_lens).
Result<FocusSweep> sweep_focus(FocusLens& lens);

}  // namespace app
