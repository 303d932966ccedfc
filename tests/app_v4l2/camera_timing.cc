#include "camera_timing.h"

#include <algorithm>
#include <cmath>

namespace fake_v4l2 {

Timing fast_lens_timing() { return Timing{}; }

Timing slow_lens_timing() {
  Timing timing;
  timing.lens_full_travel = std::chrono::milliseconds(1200);
  return timing;
}

void Lens::move_to(double target, Clock::time_point when) {
  from_ = position(when);
  to_ = target;
  start_ = when;
}

double Lens::position(Clock::time_point when) const {
  if (when <= start_) return from_;
  const double travelled = speed_ * std::chrono::duration<double>(when - start_).count();
  const double distance = to_ - from_;
  if (travelled >= std::abs(distance)) return to_;
  return from_ + std::copysign(travelled, distance);
}

double Lens::mean_over(Clock::time_point begin, Clock::time_point end,
                       const std::function<double(double)>& detail) const {
  constexpr int kSteps = 16;
  double sum = 0;
  for (int i = 0; i < kSteps; ++i) {
    const auto at = begin + (end - begin) * (2 * i + 1) / (2 * kSteps);
    sum += detail(position(at));
  }
  return sum / kSteps;
}

}  // namespace fake_v4l2
