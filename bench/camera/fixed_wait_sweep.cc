// The focus sweep as the service ran it before it learnt to wait for the lens: a fixed wait after
// every move, a dozen coarse positions, then windows a quarter as fine around the best one down
// to the control's step. Kept as the benchmark's baseline.
#include "fixed_wait_sweep.h"

#include <algorithm>
#include <map>
#include <string>
#include <thread>

namespace bench {
namespace {

using namespace app;

constexpr std::int64_t kCoarseIntervals = 12;
constexpr std::int64_t kRefineFactor = 4;

// Positions are counted in steps from the control's minimum, so every position tried is one the
// control accepts.
class Sweeper {
 public:
  Sweeper(FocusLens& device, const ControlInfo& focus, std::chrono::milliseconds wait)
      : device_(device),
        wait_(wait),
        min_(focus.min),
        step_(std::max<std::int64_t>(1, focus.step)),
        last_((focus.max - focus.min) / step_) {}

  std::int64_t last() const { return last_; }
  std::int64_t position(std::int64_t index) const { return min_ + index * step_; }

  // Measures the position `index` steps up, once; a failure stops the sweep.
  std::optional<Failure> measure(std::int64_t index) {
    index = std::clamp<std::int64_t>(index, 0, last_);
    if (measured_.count(index)) return std::nullopt;
    Result<ControlChange> set = device_.set_control("focus", position(index));
    if (auto* failure = std::get_if<Failure>(&set)) return *failure;
    std::this_thread::sleep_for(wait_);
    Result<Image> frame = device_.capture_gray();
    if (auto* failure = std::get_if<Failure>(&frame)) return *failure;
    const double value = sharpness(std::get<Image>(frame));
    measured_[index] = value;
    samples_.push_back(FocusSample{position(index), value});
    return std::nullopt;
  }

  // The sharpest index so far; the first measured wins a tie.
  std::int64_t best() const {
    std::int64_t best_index = 0;
    double best_value = -1;
    for (const FocusSample& sample : samples_) {
      if (sample.sharpness > best_value) {
        best_value = sample.sharpness;
        best_index = (sample.focus - min_) / step_;
      }
    }
    return best_index;
  }

  double at(std::int64_t index) const { return measured_.at(index); }
  std::vector<FocusSample> samples() const { return samples_; }

 private:
  FocusLens& device_;
  std::chrono::milliseconds wait_;
  std::int64_t min_, step_, last_;
  std::map<std::int64_t, double> measured_;
  std::vector<FocusSample> samples_;
};

}  // namespace

Result<FocusSweep> fixed_wait_sweep(FocusLens& device, std::chrono::milliseconds wait) {
  const auto started = std::chrono::steady_clock::now();
  Result<std::vector<ControlInfo>> listed = device.controls();
  if (auto* failure = std::get_if<Failure>(&listed)) return *failure;
  const auto& controls = std::get<std::vector<ControlInfo>>(listed);
  auto focus = std::find_if(controls.begin(), controls.end(),
                            [](const ControlInfo& control) { return control.name == "focus"; });
  if (focus == controls.end() || focus->max <= focus->min) {
    return Failure{FailureKind::kConflict, "camera " + device.id() + " has a fixed focus"};
  }

  Sweeper sweeper(device, *focus, wait);
  auto give_up = [&](Failure failure) -> Result<FocusSweep> {
    device.set_control("focus", focus->value);  // best effort: leave the lens as it was
    return failure;
  };

  // Coarse: a dozen positions over the whole range, both ends included.
  const std::int64_t last = sweeper.last();
  std::int64_t spacing = std::max<std::int64_t>(1, (last + kCoarseIntervals - 1) / kCoarseIntervals);
  for (std::int64_t index = 0; index < last; index += spacing) {
    if (auto failure = sweeper.measure(index)) return give_up(*failure);
  }
  if (auto failure = sweeper.measure(last)) return give_up(*failure);

  // Fine: around the best so far, one spacing either side at a quarter of the spacing, until
  // the control's own step is reached.
  while (spacing > 1) {
    const std::int64_t finer = std::max<std::int64_t>(1, spacing / kRefineFactor);
    const std::int64_t centre = sweeper.best();
    for (std::int64_t index = centre - spacing; index <= centre + spacing; index += finer) {
      if (auto failure = sweeper.measure(index)) return give_up(*failure);
    }
    spacing = finer;
  }
  // The sharpest may sit at the edge of the last window; look one step beyond it.
  for (std::int64_t best = sweeper.best();;) {
    if (auto failure = sweeper.measure(best - 1)) return give_up(*failure);
    if (auto failure = sweeper.measure(best + 1)) return give_up(*failure);
    const std::int64_t next = sweeper.best();
    if (next == best) break;
    best = next;
  }

  const std::int64_t best = sweeper.best();
  Result<ControlChange> locked = device.set_control("focus", sweeper.position(best));
  if (auto* failure = std::get_if<Failure>(&locked)) return give_up(*failure);
  return FocusSweep{sweeper.position(best), sweeper.at(best), sweeper.samples(),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)};
}

}  // namespace bench
