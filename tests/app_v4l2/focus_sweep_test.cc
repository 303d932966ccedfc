// The focus sweep on a webcam through the fake device layer: it locks the lens within one step of
// where the picture is sharpest, hands autofocus off and leaves it off, measures every position
// on a frame taken there, not on one left in the buffers, and on a camera with a real camera's
// timing waits for the lens to arrive, fast or slow, before it measures.
#include "app/focus_sweep.h"

#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "webcam_fixture.h"

namespace webcam_test {
namespace {

using fake_v4l2::Camera;

class WebcamFocusSweepTest : public WebcamTest {};

// A MJPEG-only camera: its gray frames for measuring are decoded from the camera's JPEGs.
Camera mjpeg_webcam() {
  return fake_v4l2::webcam_with({{V4L2_PIX_FMT_MJPEG, {{1280, 720}, {640, 480}}}});
}

TEST_F(WebcamFocusSweepTest, LocksTheSharpestPositionWithAutofocusOff) {
  options_.camera.focus_settle = std::chrono::milliseconds(10);
  struct Case {
    const char* name;
    Camera camera;
    int sharpest;  // where the fake's picture is sharpest; the lens moves in steps of 5
    int locked;
  };
  std::vector<Case> cases{
      {"yuyv, on a step", fake_v4l2::uvc_webcam(), 150, 150},
      {"yuyv, between steps", fake_v4l2::uvc_webcam(), 93, 95},
      {"mjpeg, at the far end", mjpeg_webcam(), 250, 250},
  };
  int number = 0;
  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    c.camera.sharpest_focus = c.sharpest;
    plug(number, c.camera);
    auto camera = this->camera(number);
    ASSERT_TRUE(camera);
    ASSERT_EQ(state(number).control(V4L2_CID_FOCUS_AUTO)->value, 1) << "autofocus starts on";

    const app::FocusSweep sweep = value_of(app::sweep_focus(*camera));
    EXPECT_EQ(sweep.focus, c.locked);
    EXPECT_LE(std::abs(sweep.focus - c.sharpest), 5);
    EXPECT_EQ(state(number).control(V4L2_CID_FOCUS_ABSOLUTE)->value, sweep.focus);
    EXPECT_EQ(state(number).control(V4L2_CID_FOCUS_AUTO)->value, 0) << "autofocus is left off";

    ASSERT_GE(sweep.samples.size(), 6u);
    auto best = std::max_element(sweep.samples.begin(), sweep.samples.end(),
                                 [](auto& a, auto& b) { return a.sharpness < b.sharpness; });
    EXPECT_EQ(best->focus, sweep.focus);
    EXPECT_DOUBLE_EQ(best->sharpness, sweep.sharpness);
    for (const app::FocusSample& sample : sweep.samples) {
      EXPECT_EQ(sample.focus % 5, 0) << sample.focus << " is not a position the lens takes";
    }
    // Each sample shows its own position: nearer the sharpest, sharper (by a lens step,
    // clearly so); as near, as sharp. A frame exposed before the lens moved, measured as if after, breaks
    // this order, since the sweep jumps back and forth over the range.
    std::vector<std::pair<int, double>> by_distance;
    for (const app::FocusSample& sample : sweep.samples) {
      const int distance = std::abs(static_cast<int>(sample.focus) - c.sharpest);
      if (distance < 55) by_distance.emplace_back(distance, sample.sharpness);  // detail fades at 60
    }
    std::sort(by_distance.begin(), by_distance.end());
    ASSERT_GE(by_distance.size(), 4u);
    for (std::size_t i = 0; i < by_distance.size(); ++i) {
      for (std::size_t j = i + 1; j < by_distance.size(); ++j) {
        const auto& [near, near_sharpness] = by_distance[i];
        const auto& [far, far_sharpness] = by_distance[j];
        if (far == near) {
          EXPECT_NEAR(near_sharpness, far_sharpness, 0.05 * far_sharpness) << "both " << near << " off";
        } else if (far - near < 5) {  // the picture's levels are whole numbers: it may not differ
          EXPECT_GE(near_sharpness, far_sharpness) << near << " against " << far << " off";
        } else {
          EXPECT_GT(near_sharpness, far_sharpness) << near << " against " << far << " off";
        }
      }
    }
    ++number;
  }
}

// On a camera with a real camera's timing (frames at 30 fps, a lens that travels), every position
// is measured once the lens has arrived there, on a fast lens and on a slow one, and the lens is
// locked within one step of the sharpest and at rest when the sweep ends.
TEST_F(WebcamFocusSweepTest, WaitsForTheLensOnACameraWithRealTiming) {
  options_.camera.focus_settle = std::chrono::milliseconds(1500);
  struct Case {
    const char* name;
    fake_v4l2::Timing timing;
    int sharpest;
  };
  const std::vector<Case> cases{
      {"fast lens", fake_v4l2::fast_lens_timing(), 93},
      {"fast lens, near end", fake_v4l2::fast_lens_timing(), 240},
      {"slow lens", fake_v4l2::slow_lens_timing(), 93},
      {"slow lens, crossing the sharpest on a move", fake_v4l2::slow_lens_timing(), 210},
  };
  int number = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Camera webcam = fake_v4l2::uvc_webcam();
    webcam.sharpest_focus = c.sharpest;
    webcam.gradual_defocus = true;
    Camera reference = webcam;  // the same scene without timing: the lens is where focus says
    webcam.timing = c.timing;
    plug(number, webcam);
    plug(number + 1, reference);
    auto camera = this->camera(number);
    auto still = this->camera(number + 1);
    ASSERT_TRUE(camera && still);

    const app::FocusSweep sweep = value_of(app::sweep_focus(*camera));
    EXPECT_LE(std::abs(sweep.focus - c.sharpest), 5) << "locked at " << sweep.focus;
    EXPECT_EQ(state(number).control(V4L2_CID_FOCUS_ABSOLUTE)->value, sweep.focus);
    // Near the lock, where the choice is made, each position is measured with the lens at rest
    // there. (Far out in the blur, a slow lens may lag: its frames change too little to tell.)
    for (const app::FocusSample& sample : sweep.samples) {
      if (std::abs(sample.focus - sweep.focus) > 20) continue;
      value_of(still->set_control("focus", sample.focus));
      const double at_rest = app::sharpness(value_of(still->capture_gray()));
      EXPECT_NEAR(sample.sharpness, at_rest, 0.05 * at_rest)
          << "focus " << sample.focus << " was measured before the lens got there";
    }
    const double after = app::sharpness(value_of(camera->capture_gray()));
    EXPECT_NEAR(after, sweep.sharpness, 0.05 * sweep.sharpness) << "the lens is at rest, locked";
    number += 2;
  }
}

TEST_F(WebcamFocusSweepTest, ACameraWithoutAFocusMotorIsRefused) {
  Camera webcam = fake_v4l2::uvc_webcam();
  std::erase_if(webcam.controls, [](const fake_v4l2::Control& control) {
    return control.id == V4L2_CID_FOCUS_ABSOLUTE || control.id == V4L2_CID_FOCUS_AUTO;
  });
  plug(0, webcam);
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  EXPECT_FALSE(camera->info().focusable);
  const app::Failure failure = failure_of(app::sweep_focus(*camera));
  EXPECT_EQ(failure.status, 409);
  EXPECT_EQ(failure.message, "camera 0 has a fixed focus; there is nothing to sweep");
  EXPECT_TRUE(state(0).control_writes.empty());
}

}  // namespace
}  // namespace webcam_test
