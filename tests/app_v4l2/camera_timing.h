// The timing of a real webcam, for the fake device layer: frames that complete one frame period
// apart once streaming has started, a driver that fills the buffers queued to it in order and
// drops frames while none is free, and a focus lens that travels at a finite speed, so that a
// frame exposed while it moves shows the picture blurred between where it came from and where
// it goes.
//
// The figures are assumptions drawn from how UVC webcams commonly behave (their data sheets and
// measurements published by people driving them through V4L2), not from one model:
// - 30 frames a second at 640x480 and 1280x720 MJPEG: a frame period of 33.3 ms.
// - Opening the node costs a few tens of milliseconds (the driver asks the camera for its
//   state over USB); from VIDIOC_STREAMON to the first frame takes about 300 ms (the USB
//   bandwidth is negotiated, the sensor powers up and starts its first exposure).
// - A control write is a USB control transfer: the camera acts on it about 10 ms later.
// - Voice-coil lenses, the common kind in autofocus webcams, cross their whole focus range in
//   about 100 ms; cheaper motor-driven lenses take a second or more for the same travel.
#pragma once

#include <chrono>
#include <functional>

namespace fake_v4l2 {

using Clock = std::chrono::steady_clock;

struct Timing {
  std::chrono::microseconds frame_period{33'333};
  std::chrono::milliseconds open_latency{30};
  std::chrono::milliseconds first_frame_latency{300};
  std::chrono::milliseconds control_latency{10};
  // How long the lens takes to travel its whole focus range.
  std::chrono::milliseconds lens_full_travel{100};
};

// A 30 fps webcam with a voice-coil lens.
Timing fast_lens_timing();
// The same camera with a slow motor-driven lens: 1.2 s from one end of the range to the other.
Timing slow_lens_timing();

// Where the lens is over time. Positions are in the focus control's units.
class Lens {
 public:
  // `speed` in units per second.
  Lens(double position = 0, double speed = 1) : from_(position), to_(position), speed_(speed) {}

  // A new target from `when` on; a lens still moving goes on from where it is then.
  void move_to(double target, Clock::time_point when);
  double position(Clock::time_point when) const;
  // The mean of `detail` along the lens's path over [begin, end]: a frame exposed while the lens
  // moves is a blend of what each position shows.
  double mean_over(Clock::time_point begin, Clock::time_point end,
                   const std::function<double(double)>& detail) const;

 private:
  double from_;
  double to_;
  double speed_;
  Clock::time_point start_{};
};

}  // namespace fake_v4l2
