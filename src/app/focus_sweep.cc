#include "app/focus_sweep.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <string>

namespace app {
namespace {

// The coarse pass measures this many intervals over the whole range, at most.
constexpr std::int64_t kCoarseIntervals = 5;
// Past the peak once the picture has lost this share of the best sharpness seen.
constexpr double kPastThePeak = 0.5;
// Frames whose sharpness agrees this closely show the same picture.
constexpr double kSettledWithin = 0.03;
// Narrowing, when a parabola through the bracket does not help: the next position divides the
// larger side of the bracket in this ratio (golden section), shrinking it by about 0.62.
constexpr double kGoldenShare = 0.382;

using Clock = std::chrono::steady_clock;

// Positions are counted in steps from the control's minimum, so every position tried is one the
// control accepts.
class Sweeper {
 public:
  Sweeper(FocusLens& device, const ControlInfo& focus)
      : device_(device),
        min_(focus.min),
        step_(std::max<std::int64_t>(1, focus.step)),
        last_((focus.max - focus.min) / step_),
        last_index_(std::clamp<std::int64_t>((focus.value - focus.min) / step_, 0, last_)) {}

  std::int64_t last() const { return last_; }
  std::int64_t position(std::int64_t index) const { return min_ + index * step_; }

  // Moves the lens `index` steps up and measures it there, once; a failure stops the sweep.
  std::optional<Failure> measure(std::int64_t index) {
    index = std::clamp<std::int64_t>(index, 0, last_);
    if (measured_.count(index)) return std::nullopt;
    const auto ordered = Clock::now();
    Result<ControlChange> set = device_.set_control("focus", position(index));
    if (auto* failure = std::get_if<Failure>(&set)) return *failure;
    const std::int64_t distance = last_index_ ? std::abs(index - *last_index_) : 0;
    last_index_ = index;
    Result<double> value = settled_sharpness(std::nullopt, distance, ordered);
    if (auto* failure = std::get_if<Failure>(&value)) return *failure;
    measured_[index] = std::get<double>(value);
    samples_.push_back(FocusSample{position(index), std::get<double>(value)});
    return std::nullopt;
  }

  // After a move: frames until the picture holds still, which means the lens has stopped (a
  // frame exposed while it travels is blurred between where it was and where it goes), or until
  // the device's longest settle time has passed. Two frames in a row that agree are enough when
  // the picture did not change at all, from before the move on; once it has changed the lens was
  // seen moving, and four must agree: a slow lens passing through the sharpest position on its
  // way shows two or three much alike. Once the lens's travel times are known from such moves,
  // one frame whose exposure began after the lens must have come to rest is enough (where the
  // device tells when a frame's exposure began). With `expected` (a
  // position measured before, so its picture is known), the first frame that shows it is
  // enough. The sharpness of the last frame taken.
  //
  // `ordered` is when the move was asked for, before the control was written; travel times are
  // learnt from then, and applied from after the write, so that a write that took long (a busy
  // machine) makes them only longer.
  Result<double> settled_sharpness(std::optional<double> expected = std::nullopt,
                                   std::int64_t distance = 0,
                                   std::optional<Clock::time_point> ordered = std::nullopt) {
    const auto moved = Clock::now();
    const auto asked = ordered.value_or(moved);
    // A picture that does not change tells nothing while the lens crosses a stretch where
    // everything is equally blurred: give it at least the time the lens was seen to need for
    // such a distance before.
    const auto travel = std::chrono::duration_cast<Clock::duration>(
        seconds_per_step_ * static_cast<double>(distance));
    // The longest the lens can take for this move, by the moves seen so far.
    const std::optional<Clock::duration> at_rest_by = longest_travel(distance);
    std::vector<double> values;
    std::vector<Clock::time_point> times;
    std::vector<std::optional<Clock::time_point>> exposed;  // when each frame's exposure began
    bool changed = false;
    for (;;) {
      Result<Image> frame = device_.capture_gray();
      if (auto* failure = std::get_if<Failure>(&frame)) return *failure;
      values.push_back(sharpness(std::get<Image>(frame)));
      times.push_back(Clock::now());
      exposed.push_back(device_.exposure_began());
      if (expected && agree(*expected, values.back())) break;
      if (times.back() - moved >= device_.focus_settle_time()) break;
      const std::size_t n = values.size();
      const std::optional<double> earlier = n >= 2 ? std::optional(values[n - 2]) : last_settled_;
      if (earlier && !agree(*earlier, values[n - 1])) changed = true;
      // Exposed wholly after the lens must have come to rest: it shows the lens at rest.
      if (at_rest_by && exposed[n - 1] && *exposed[n - 1] >= moved + *at_rest_by) break;
      const std::size_t needed = changed ? 4 : 2;
      if (n < needed) continue;
      const auto [low, high] = std::minmax_element(values.end() - static_cast<long>(needed),
                                                   values.end());
      if (!agree(*low, *high)) continue;
      if (changed) {
        // The lens was at rest by the first frame of the still run (by the start of its
        // exposure where the device tells): a travel time seen, for later moves.
        const std::size_t first = n - needed;
        if (distance > 0) {
          const Clock::duration arrived = exposed[first].value_or(times[first]) - asked;
          travels_.push_back({distance, arrived});
          seconds_per_step_ = std::max(seconds_per_step_, std::chrono::duration<double>(arrived) /
                                                              static_cast<double>(distance));
        }
        break;
      }
      if (times.back() - moved >= travel) break;
    }
    last_settled_ = values.back();
    return values.back();
  }

  // The longest the lens can take for a move of `distance` steps, by each move seen so far: a
  // shorter move takes no longer than a longer one, and a longer one at most as much longer as
  // it is (the part of the time that does not grow with distance is scaled too). Nothing before
  // any travel was seen.
  std::optional<Clock::duration> longest_travel(std::int64_t distance) const {
    std::optional<Clock::duration> bound;
    for (const Travel& seen : travels_) {
      const double scale =
          std::max(1.0, static_cast<double>(distance) / static_cast<double>(seen.distance));
      const auto time = std::chrono::duration_cast<Clock::duration>(seen.time * scale);
      if (!bound || time < *bound) bound = time;
    }
    return bound;
  }

  static bool agree(double a, double b) {
    return std::abs(a - b) <= kSettledWithin * std::max(a, b);
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
  // Where the lens was sent last (before the sweep: where the camera says it is).
  std::int64_t lens_index() const { return last_index_.value_or(0); }
  bool has(std::int64_t index) const { return measured_.count(index) > 0; }
  std::vector<FocusSample> samples() const { return samples_; }

 private:
  FocusLens& device_;
  std::int64_t min_, step_, last_;
  std::map<std::int64_t, double> measured_;
  std::vector<FocusSample> samples_;
  std::optional<double> last_settled_;  // the picture before the latest move
  std::optional<std::int64_t> last_index_;  // where the lens was sent last
  struct Travel {
    std::int64_t distance = 0;  // steps
    Clock::duration time{};     // from the move to the lens at rest
  };
  std::vector<Travel> travels_;  // seen on moves whose picture changed
  std::chrono::duration<double> seconds_per_step_{0};  // the slowest travel seen
};

// The next position to measure inside the bracket low < centre < high, where centre is the
// sharpest measured: the top of the parabola through the three when they are measured and it
// falls inside; next to the centre when that top is the centre itself (once both neighbours are
// measured, the bracket is one step either side); else the golden section of the larger side.
std::int64_t next_probe(const Sweeper& sweeper, std::int64_t low, std::int64_t centre,
                        std::int64_t high) {
  const bool larger_below = centre - low > high - centre;
  if (sweeper.has(low) && sweeper.has(high) && low < centre && centre < high) {
    const double x0 = static_cast<double>(low), x1 = static_cast<double>(centre),
                 x2 = static_cast<double>(high);
    const double y0 = sweeper.at(low), y1 = sweeper.at(centre), y2 = sweeper.at(high);
    const double d1 = (x1 - x0) * (y1 - y2), d2 = (x1 - x2) * (y1 - y0);
    const double denominator = d1 - d2;
    if (denominator != 0) {
      const double top = x1 - 0.5 * ((x1 - x0) * d1 - (x1 - x2) * d2) / denominator;
      const std::int64_t rounded = std::llround(top);
      if (rounded == centre) {
        const std::int64_t beside = top < x1 ? centre - 1 : centre + 1;
        if (!sweeper.has(beside)) return beside;
        if (!sweeper.has(2 * centre - beside)) return 2 * centre - beside;
      } else if (rounded > low && rounded < high && !sweeper.has(rounded)) {
        return rounded;
      }
    }
  }
  const std::int64_t side = larger_below ? centre - low : high - centre;
  const std::int64_t offset =
      std::max<std::int64_t>(1, std::llround(static_cast<double>(side) * kGoldenShare));
  return larger_below ? centre - offset : centre + offset;
}

}  // namespace

double sharpness(const Image& gray) {
  if (gray.width < 3 || gray.height < 3) return 0;
  double sum = 0, sum_squares = 0;
  for (int y = 1; y + 1 < gray.height; ++y) {
    const std::uint8_t* up = gray.pixels.data() + static_cast<std::size_t>(y - 1) * gray.stride;
    const std::uint8_t* row = up + gray.stride;
    const std::uint8_t* down = row + gray.stride;
    std::int64_t row_sum = 0, row_squares = 0;
    for (int x = 1; x + 1 < gray.width; ++x) {
      const auto i = static_cast<std::size_t>(x);
      const int laplacian = up[i] + down[i] + row[i - 1] + row[i + 1] - 4 * row[i];
      row_sum += laplacian;
      row_squares += laplacian * laplacian;
    }
    sum += static_cast<double>(row_sum);
    sum_squares += static_cast<double>(row_squares);
  }
  const double count = static_cast<double>(gray.width - 2) * (gray.height - 2);
  const double mean = sum / count;
  return sum_squares / count - mean * mean;
}

Result<FocusSweep> sweep_focus(FocusLens& device) {
  const auto started = std::chrono::steady_clock::now();
  Result<std::vector<ControlInfo>> listed = device.controls();
  if (auto* failure = std::get_if<Failure>(&listed)) return *failure;
  const auto& controls = std::get<std::vector<ControlInfo>>(listed);
  auto focus = std::find_if(controls.begin(), controls.end(),
                            [](const ControlInfo& control) { return control.name == "focus"; });
  if (focus == controls.end() || focus->max <= focus->min) {
    return Failure{FailureKind::kConflict,
                   "camera " + device.id() + " has a fixed focus; there is nothing to sweep"};
  }

  Sweeper sweeper(device, *focus);
  auto give_up = [&](Failure failure) -> Result<FocusSweep> {
    device.set_control("focus", focus->value);  // best effort: leave the lens as it was
    return failure;
  };

  // Coarse: across the range in a few wide steps, from the end nearer the lens (a long first
  // move would have to be waited for with nothing known yet of the lens's speed), until the
  // picture is clearly past its peak.
  const std::int64_t last = sweeper.last();
  const std::int64_t spacing =
      std::max<std::int64_t>(1, (last + kCoarseIntervals - 1) / kCoarseIntervals);
  const bool downwards = sweeper.lens_index() * 2 > last;
  for (std::int64_t index = downwards ? last : 0;;) {
    if (auto failure = sweeper.measure(index)) return give_up(*failure);
    if (index == (downwards ? 0 : last)) break;
    const std::int64_t best = sweeper.best();
    const bool passed = downwards ? best > index : best < index;
    if (passed && sweeper.at(index) < kPastThePeak * sweeper.at(best)) break;
    index = downwards ? std::max<std::int64_t>(0, index - spacing) : std::min(last, index + spacing);
  }

  // Narrowing: the peak lies between the coarse neighbours of the best position. Each
  // measurement inside the bracket shrinks it; once the best position's neighbours one step
  // either side bound it, the best is within a step of the sharpest.
  std::int64_t centre = sweeper.best();
  std::int64_t low = std::max<std::int64_t>(0, centre - spacing);
  std::int64_t high = std::min(last, centre + spacing);
  while (centre - low > 1 || high - centre > 1) {
    const std::int64_t probe = next_probe(sweeper, low, centre, high);
    if (auto failure = sweeper.measure(probe)) return give_up(*failure);
    const bool below = probe < centre;
    if (sweeper.at(probe) > sweeper.at(centre)) {
      (below ? high : low) = centre;
      centre = probe;
    } else {
      (below ? low : high) = probe;
    }
  }

  const std::int64_t best = sweeper.best();
  const bool moves = sweeper.samples().back().focus != sweeper.position(best);
  Result<ControlChange> locked = device.set_control("focus", sweeper.position(best));
  if (auto* failure = std::get_if<Failure>(&locked)) return give_up(*failure);
  // The picture taken next should be sharp: let the lens arrive.
  if (moves) {
    if (auto arrived = sweeper.settled_sharpness(sweeper.at(best)); failed(arrived)) {
      return give_up(std::get<Failure>(arrived));
    }
  }
  return FocusSweep{sweeper.position(best), sweeper.at(best), sweeper.samples(),
                    std::chrono::duration_cast<std::chrono::milliseconds>(
                        std::chrono::steady_clock::now() - started)};
}

Result<FocusSweep> sweep_focus(Device& device) {
  return device.with_lens([](FocusLens& lens) { return sweep_focus(lens); });
}

}  // namespace app
