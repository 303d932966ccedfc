// The focus sweep over a scripted lens: a device whose picture is sharpest at a chosen position,
// with a focus control of a webcam's kind (range 0..250 in steps of 5).
#include "app/focus_sweep.h"

#include <gtest/gtest.h>

#include <cmath>
#include <set>

namespace {

using app::ControlInfo;
using app::Failure;
using app::FailureKind;
using app::FocusSweep;

class ScriptedLens : public app::Device {
 public:
  ScriptedLens(std::int64_t sharp_at, ControlInfo focus = {"focus", 0, 250, 5, 0, 30})
      : sharp_at_(sharp_at), focus_(focus) {}

  app::DeviceInfo describe() const override { return {"cam", "Scripted lens", true, 32, 32}; }
  app::Result<app::JpegFrame> take_jpeg(const app::FrameRequest&) override {
    return Failure{FailureKind::kInternal, "not used"};
  }
  // A checkerboard whose contrast falls with the distance from the sharp position.
  app::Result<app::Image> take_gray() override {
    if (fail_after >= 0 && captures++ >= fail_after)
      return Failure{FailureKind::kDeviceFailed, "the camera stopped answering"};
    const double distance = std::abs(static_cast<double>(focus_.value - sharp_at_));
    const double contrast = 100.0 / (1.0 + distance / 10.0);
    app::Image image = app::make_image(32, 32, app::PixelFormat::kGray);
    for (int y = 0; y < 32; ++y) {
      for (int x = 0; x < 32; ++x) {
        image.pixels[static_cast<std::size_t>(y * 32 + x)] =
            static_cast<std::uint8_t>(128 + ((x + y) % 2 ? contrast : -contrast));
      }
    }
    return image;
  }
  app::Result<std::vector<ControlInfo>> list_controls() override {
    if (fixed) return std::vector<ControlInfo>{{"zoom", 0, 10, 1, 0, 0}};
    return std::vector<ControlInfo>{focus_};
  }
  app::Result<app::ControlChange> change_control(std::string_view name,
                                                 std::int64_t value) override {
    if (name != "focus" || value < focus_.min || value > focus_.max || (value - focus_.min) % focus_.step) {
      return Failure{FailureKind::kBadRequest, "bad focus " + std::to_string(value)};
    }
    app::ControlChange change{"focus", value, focus_.value};
    focus_.value = value;
    return change;
  }

  std::int64_t focus() const { return focus_.value; }
  int fail_after = -1;
  int captures = 0;
  bool fixed = false;

 private:
  std::int64_t sharp_at_;
  ControlInfo focus_;
};

TEST(FocusSweepTest, LocksTheSharpestPositionInTheControlsOwnSteps) {
  struct Case {
    std::int64_t sharp_at;
    ControlInfo focus;
    std::int64_t locked;
  };
  for (const Case& c : std::vector<Case>{
           {85, {"focus", 0, 250, 5, 0, 30}, 85},
           {87, {"focus", 0, 250, 5, 0, 30}, 85},
           {0, {"focus", 0, 250, 5, 0, 30}, 0},
           {250, {"focus", 0, 250, 5, 0, 30}, 250},
           {137, {"focus", 0, 255, 1, 0, 0}, 137},
           {52, {"focus", 10, 100, 3, 10, 10}, 52},
           {1, {"focus", 0, 1, 1, 0, 0}, 1},
       }) {
    ScriptedLens lens(c.sharp_at, c.focus);
    app::Result<FocusSweep> result = app::sweep_focus(lens);
    ASSERT_FALSE(app::failed(result)) << std::get<Failure>(result).message;
    const FocusSweep& sweep = std::get<FocusSweep>(result);
    EXPECT_EQ(sweep.focus, c.locked) << c.sharp_at;
    EXPECT_EQ(lens.focus(), c.locked) << "the lens is left at the sharpest position";
    std::set<std::int64_t> positions;
    double best = 0;
    for (const app::FocusSample& sample : sweep.samples) {
      EXPECT_TRUE(positions.insert(sample.focus).second) << "measured twice: " << sample.focus;
      EXPECT_EQ((sample.focus - c.focus.min) % c.focus.step, 0);
      best = std::max(best, sample.sharpness);
    }
    // The search starts at one end and stops once the peak is bracketed: the positions one
    // step either side of the locked one were measured (where the range has them).
    EXPECT_TRUE(positions.count(c.focus.min) || positions.count(c.focus.max));
    for (const std::int64_t beside : {c.locked - c.focus.step, c.locked + c.focus.step}) {
      if (beside >= c.focus.min && beside <= c.focus.max) {
        EXPECT_TRUE(positions.count(beside)) << beside << " beside " << c.locked;
      }
    }
    EXPECT_DOUBLE_EQ(sweep.sharpness, best);
    const auto all = (c.focus.max - c.focus.min) / c.focus.step + 1;
    if (all > 40) {
      EXPECT_LT(static_cast<std::int64_t>(positions.size()), all / 2) << "coarse, then fine";
    }
  }
}

TEST(FocusSweepTest, AFailedCapturePutsTheLensBack) {
  ScriptedLens lens(85);
  lens.fail_after = 5;
  app::Result<FocusSweep> result = app::sweep_focus(lens);
  ASSERT_TRUE(app::failed(result));
  EXPECT_EQ(std::get<Failure>(result).status, 502);
  EXPECT_EQ(std::get<Failure>(result).message, "the camera stopped answering");
  EXPECT_EQ(lens.focus(), 30);
}

TEST(FocusSweepTest, ADeviceWithoutFocusIsRefused) {
  ScriptedLens lens(85);
  lens.fixed = true;
  app::Result<FocusSweep> result = app::sweep_focus(lens);
  ASSERT_TRUE(app::failed(result));
  EXPECT_EQ(std::get<Failure>(result).status, 409);
  EXPECT_EQ(std::get<Failure>(result).message, "camera cam has a fixed focus; there is nothing to sweep");
  EXPECT_EQ(lens.captures, 0);
}

TEST(FocusSweepTest, SharpnessIsHigherForSharperPictures) {
  app::Image flat = app::make_image(16, 16, app::PixelFormat::kGray);
  EXPECT_EQ(app::sharpness(flat), 0);
  EXPECT_EQ(app::sharpness(app::make_image(2, 2, app::PixelFormat::kGray)), 0);
  ScriptedLens lens(0);
  lens.set_control("focus", 0);
  const double sharp = app::sharpness(std::get<app::Image>(lens.capture_gray()));
  lens.set_control("focus", 50);
  const double blurred = app::sharpness(std::get<app::Image>(lens.capture_gray()));
  EXPECT_GT(sharp, 4 * blurred);
}

}  // namespace
