// A webcam's controls through the fake device layer: short names by control id, real ranges,
// range checks, and the hand-off from automatic modes to manual values.
#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <cerrno>

#include "webcam_fixture.h"

namespace webcam_test {
namespace {

using fake_v4l2::Camera;
using Write = std::pair<std::uint32_t, std::int32_t>;

std::vector<std::string> names_of(const std::vector<app::ControlInfo>& controls) {
  std::vector<std::string> names;
  for (const auto& control : controls) names.push_back(control.name);
  return names;
}

const app::ControlInfo* find_control(const std::vector<app::ControlInfo>& controls,
                                     const std::string& name) {
  for (const auto& control : controls) {
    if (control.name == name) return &control;
  }
  return nullptr;
}

class ControlsTest : public WebcamTest {
 protected:
  std::shared_ptr<app::Device> webcam(Camera camera = fake_v4l2::uvc_webcam(), int number = 0) {
    plug(number, std::move(camera));
    return this->camera(number);
  }
};

TEST_F(ControlsTest, ListsEveryKnobUnderItsShortNameWithItsRange) {
  auto camera = webcam();
  ASSERT_TRUE(camera);
  const auto controls = value_of(camera->controls());
  EXPECT_EQ(names_of(controls),
            (std::vector<std::string>{"brightness", "contrast", "saturation", "auto_white_balance",
                                      "gain", "power_line_frequency", "white_balance",
                                      "sharpness", "led1_mode", "auto_exposure", "exposure",
                                      "exposure_priority", "focus", "autofocus", "zoom"}));
  const struct {
    const char* name;
    std::int64_t min, max, step, default_value, value;
  } expected[] = {
      {"brightness", 0, 255, 1, 128, 128},     {"focus", 0, 250, 5, 0, 0},
      {"autofocus", 0, 1, 1, 1, 1},            {"auto_exposure", 0, 3, 1, 3, 3},
      {"exposure", 3, 2047, 1, 250, 250},      {"white_balance", 2000, 6500, 1, 4000, 4000},
      {"zoom", 100, 500, 1, 100, 100},
  };
  for (const auto& e : expected) {
    const app::ControlInfo* control = find_control(controls, e.name);
    ASSERT_NE(control, nullptr) << e.name;
    EXPECT_EQ(control->min, e.min) << e.name;
    EXPECT_EQ(control->max, e.max) << e.name;
    EXPECT_EQ(control->step, e.step) << e.name;
    EXPECT_EQ(control->default_value, e.default_value) << e.name;
    EXPECT_EQ(control->value, e.value) << e.name;
  }
}

TEST_F(ControlsTest, MatchesControlsByIdWhateverTheDriverCallsThem) {
  // Kernels before 5.16 said "Focus, Auto"; a driver may say anything.
  int number = 0;
  for (const char* text : {"Focus, Auto", "Focus, Automatic Continuous", "AF"}) {
    Camera fake = fake_v4l2::uvc_webcam();
    fake.control(V4L2_CID_FOCUS_AUTO)->name = text;
    fake.control(V4L2_CID_FOCUS_ABSOLUTE)->name = "Lens Position";
    auto camera = webcam(fake, number++);
    ASSERT_TRUE(camera);
    const auto controls = value_of(camera->controls());
    EXPECT_NE(find_control(controls, "autofocus"), nullptr) << text;
    EXPECT_NE(find_control(controls, "focus"), nullptr) << text;
  }
}

TEST_F(ControlsTest, AVendorControlNamedLikeAShortNameIsNotTakenForIt) {
  Camera fake = fake_v4l2::uvc_webcam();
  std::erase_if(fake.controls, [](const auto& c) { return c.id == V4L2_CID_FOCUS_ABSOLUTE; });
  fake.control(V4L2_CID_USER_BASE + 0x1000)->name = "Focus";
  auto camera = webcam(fake);
  ASSERT_TRUE(camera);
  EXPECT_EQ(find_control(value_of(camera->controls()), "focus"), nullptr);
  EXPECT_FALSE(camera->info().focusable);
}

TEST_F(ControlsTest, LeavesOutControlsThatCannotBeReadOrAreDisabled) {
  Camera fake = fake_v4l2::uvc_webcam();
  fake.control(V4L2_CID_GAIN)->read_error = EIO;
  fake.control(V4L2_CID_ZOOM_ABSOLUTE)->flags = V4L2_CTRL_FLAG_DISABLED;
  auto camera = webcam(fake);
  ASSERT_TRUE(camera);
  const auto controls = value_of(camera->controls());
  EXPECT_EQ(find_control(controls, "gain"), nullptr);
  EXPECT_EQ(find_control(controls, "zoom"), nullptr);
  EXPECT_NE(find_control(controls, "brightness"), nullptr);
  EXPECT_EQ(controls.size(), 13u);
}

TEST_F(ControlsTest, SettingFocusSwitchesContinuousAutofocusOffFirst) {
  auto camera = webcam();  // autofocus on; the fake refuses focus then, as many drivers do
  ASSERT_TRUE(camera);
  const auto change = value_of(camera->set_control("focus", 60));
  EXPECT_EQ(change.control, "focus");
  EXPECT_EQ(change.value, 60);
  EXPECT_EQ(change.was, 0);
  EXPECT_EQ(state(0).control_writes,
            (std::vector<Write>{{V4L2_CID_FOCUS_AUTO, 0}, {V4L2_CID_FOCUS_ABSOLUTE, 60}}));

  // Autofocus stays off: the next move is a single write.
  EXPECT_EQ(value_of(camera->set_control("focus", 100)).was, 60);
  EXPECT_EQ(state(0).control_writes.size(), 3u);
  EXPECT_EQ(find_control(value_of(camera->controls()), "autofocus")->value, 0);

  // Turning autofocus back on is just a write.
  EXPECT_EQ(value_of(camera->set_control("autofocus", 1)).value, 1);
  EXPECT_EQ(state(0).control_writes.back(), (Write{V4L2_CID_FOCUS_AUTO, 1}));
}

TEST_F(ControlsTest, ManualExposureAndWhiteBalanceLeaveTheirAutomaticModes) {
  auto camera = webcam();
  ASSERT_TRUE(camera);
  value_of(camera->set_control("exposure", 500));
  value_of(camera->set_control("white_balance", 5000));
  EXPECT_EQ(state(0).control_writes,
            (std::vector<Write>{{V4L2_CID_EXPOSURE_AUTO, V4L2_EXPOSURE_MANUAL},
                                {V4L2_CID_EXPOSURE_ABSOLUTE, 500},
                                {V4L2_CID_AUTO_WHITE_BALANCE, 0},
                                {V4L2_CID_WHITE_BALANCE_TEMPERATURE, 5000}}));
}

struct Refusal {
  const char* name;
  std::int64_t value;
  std::string message;
};

void PrintTo(const Refusal& r, std::ostream* out) { *out << r.name << " " << r.value; }

class Refusals : public ControlsTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(Refusals, AreCheckedBeforeAnythingIsWritten) {
  Camera fake = fake_v4l2::uvc_webcam();
  fake.control(V4L2_CID_SHARPNESS)->flags = V4L2_CTRL_FLAG_READ_ONLY;
  auto camera = webcam(fake);
  ASSERT_TRUE(camera);
  const Refusal& r = GetParam();
  const auto failure = failure_of(camera->set_control(r.name, r.value));
  EXPECT_EQ(failure.status, 400);
  EXPECT_EQ(failure.message, r.message);
  // Nothing written: an impossible focus does not even switch autofocus off.
  EXPECT_TRUE(state(0).control_writes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Webcam, Refusals,
    ::testing::Values(
        Refusal{"focus", 251, "focus takes 0..250 on camera 0, not 251"},
        Refusal{"focus", -5, "focus takes 0..250 on camera 0, not -5"},
        Refusal{"focus", 62, "focus moves in steps of 5 on camera 0: take 60 or 65, not 62"},
        Refusal{"auto_exposure", 2, "auto_exposure has no setting 2 on camera 0 (it takes 1, 3)"},
        Refusal{"zoom", std::int64_t{1} << 40, "zoom takes 100..500 on camera 0, not 1099511627776"},
        Refusal{"sharpness", 10, "sharpness is read-only on camera 0"},
        Refusal{"iso", 100,
                "camera 0 has no control named iso (it has brightness, contrast, saturation, "
                "auto_white_balance, gain, power_line_frequency, white_balance, sharpness, "
                "led1_mode, auto_exposure, exposure, exposure_priority, focus, autofocus, zoom)"}),
    [](const auto& test) {
      return std::string(test.param.name) + "_" + std::to_string(test.index);
    });

TEST_F(ControlsTest, ReportsTheDriverRefusingAValue) {
  const struct {
    const char* what;
    std::uint32_t id;
    int error;
    int status;
    std::string message;
    std::size_t writes;  // what reached the camera
  } cases[] = {
      {"focus refused", V4L2_CID_FOCUS_ABSOLUTE, EACCES, 409,
       "camera 0 refused to set focus (an automatic mode holds it)", 1},
      {"focus failing", V4L2_CID_FOCUS_ABSOLUTE, EIO, 502,
       "camera 1 could not set focus: Input/output error", 1},
      {"autofocus stuck", V4L2_CID_FOCUS_AUTO, EIO, 502,
       "camera 2 could not switch autofocus off: Input/output error", 0},
  };
  int number = 0;
  for (const auto& c : cases) {
    Camera fake = fake_v4l2::uvc_webcam();
    fake.control(c.id)->write_error = c.error;
    auto camera = webcam(fake, number);
    ASSERT_TRUE(camera);
    const auto failure = failure_of(camera->set_control("focus", 60));
    EXPECT_EQ(failure.status, c.status) << c.what;
    EXPECT_EQ(failure.message, c.message) << c.what;
    EXPECT_EQ(state(number).control_writes.size(), c.writes) << c.what;
    EXPECT_EQ(state(number).control(V4L2_CID_FOCUS_ABSOLUTE)->value, 0) << c.what;
    ++number;
  }
}

TEST_F(ControlsTest, ReportsAControlFailingWhileListing) {
  auto camera = webcam();
  ASSERT_TRUE(camera);
  layer_->change(node(0), [](Camera& c) { c.ioctl_errors[VIDIOC_QUERYCTRL] = EIO; });
  const auto failure = failure_of(camera->controls());
  EXPECT_EQ(failure.status, 502);
  EXPECT_EQ(failure.message, "camera 0 could not list its controls: Input/output error");
}

}  // namespace
}  // namespace webcam_test
