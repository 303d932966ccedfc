// A webcam kept warm between requests, on a fake camera with a real camera's timing: a second
// picture reuses the running stream, a control change still never yields a frame from before
// it, and the camera is given back once it has been idle, at once when the idle time is 0 but
// never in the middle of a request that holds the camera.
#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <mutex>
#include <thread>

#include "app/v4l2/mjpeg.h"
#include "webcam_fixture.h"

namespace webcam_test {
namespace {

using fake_v4l2::Camera;
using namespace std::chrono_literals;

class WarmCameraTest : public WebcamTest {
 protected:
  Camera timed_webcam() {
    Camera webcam = fake_v4l2::uvc_webcam();
    webcam.timing = fake_v4l2::fast_lens_timing();
    return webcam;
  }

  // Waits until the fake sees no open descriptor, for at most `limit`.
  bool released_within(int number, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (state(number).open_fds > 0) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(5ms);
    }
    return true;
  }
};

app::Image decoded(const app::JpegFrame& frame) {
  auto image = app::decode_jpeg(frame.bytes);
  EXPECT_FALSE(app::failed(image)) << "the frame does not decode";
  return app::failed(image) ? app::Image{} : std::get<app::Image>(image);
}

TEST_F(WarmCameraTest, ASecondPictureReusesTheRunningStream) {
  options_.camera.idle_close = 3s;
  plug(0, timed_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  const int looked_at = state(0).opens;  // finding the camera looks at its node
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(shows_scene(decoded(value_of(camera->capture_jpeg({640, 480})))));
  }
  const Camera after = state(0);
  EXPECT_EQ(after.opens, looked_at + 1);
  EXPECT_EQ(after.stream_starts, 1);
  EXPECT_TRUE(after.streaming);
  EXPECT_EQ(after.open_fds, 1);
}

// When the exposure of the frame a picture was made from began, as the fake camera notes it in
// its MJPEG frames; nothing when the picture carries no such note.
std::optional<std::chrono::steady_clock::time_point> exposure_began(const app::JpegFrame& frame) {
  const std::string tag = "exposure-began ";
  const auto at = frame.bytes.find(tag);
  if (at == std::string::npos) return std::nullopt;
  const auto digits = frame.bytes.c_str() + at + tag.size();
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(std::atoll(digits)));
}

class FreshPictures : public WarmCameraTest,
                      public ::testing::WithParamInterface<Camera::Stamps> {};

// Whatever the driver's time stamps say: the start of exposure, the end of the frame, or
// nothing usable.
TEST_P(FreshPictures, AreNeverExposedBeforeTheyWereAskedFor) {
  options_.camera.idle_close = 3s;
  Camera webcam = timed_webcam();
  webcam.stamps = GetParam();
  plug(0, webcam);
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  // Asked at once after the last picture, during a frame's exposure, and after the driver's
  // queue has filled up with frames taken before the request.
  for (const auto pause : {0ms, 5ms, 20ms, 45ms, 200ms, 0ms}) {
    SCOPED_TRACE(pause.count());
    std::this_thread::sleep_for(pause);
    const auto asked = std::chrono::steady_clock::now();
    const app::JpegFrame frame = value_of(camera->capture_jpeg({640, 480}));
    const auto began = exposure_began(frame);
    ASSERT_TRUE(began.has_value()) << "the camera's own JPEG is served with its note";
    EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(*began - asked).count(), 0)
        << "microseconds from the request to the start of the picture's exposure";
    EXPECT_TRUE(shows_scene(decoded(frame)));
  }
  EXPECT_EQ(state(0).stream_starts, 1);
}

INSTANTIATE_TEST_SUITE_P(Stamps, FreshPictures,
                         ::testing::Values(Camera::Stamps::kStartOfExposure,
                                           Camera::Stamps::kEndOfFrame, Camera::Stamps::kNone),
                         [](const auto& test) {
                           switch (test.param) {
                             case Camera::Stamps::kStartOfExposure: return "start_of_exposure";
                             case Camera::Stamps::kEndOfFrame: return "end_of_frame";
                             case Camera::Stamps::kNone: return "none";
                           }
                           return "unknown";
                         });

TEST_F(WarmCameraTest, AControlChangeNeverYieldsAFrameFromBeforeIt) {
  options_.camera.idle_close = 3s;
  plug(0, timed_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  // Changes right after a picture, while the next frames are already being exposed, and after
  // the driver's queue has filled up with frames taken before.
  for (const int brightness : {64, 128, 192, 64}) {
    SCOPED_TRACE(brightness);
    value_of(camera->set_control("brightness", brightness));
    EXPECT_TRUE(shows_scene(decoded(value_of(camera->capture_jpeg({640, 480}))), brightness / 128.0));
    std::this_thread::sleep_for(200ms);
  }
  value_of(camera->set_control("brightness", 128));
  EXPECT_NEAR(quarter_level(value_of(camera->capture_gray()), 3), 200, 6);
  EXPECT_EQ(state(0).stream_starts, 1);
}

TEST_F(WarmCameraTest, IsGivenBackAfterEachRequestWithNoIdleTime) {
  options_.camera.idle_close = 0ms;
  plug(0, timed_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  EXPECT_TRUE(released_within(0, 10s));
  EXPECT_FALSE(state(0).streaming);
  EXPECT_EQ(state(0).mapped_buffers, 0);

  // A request that makes several calls (a focus sweep) holds the camera: it stays open between
  // them.
  camera->with_lens([&](app::FocusLens& lens) {
    value_of(lens.capture_gray());
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(state(0).open_fds, 1);
    value_of(lens.capture_gray());
    EXPECT_EQ(state(0).stream_starts, 2);
    return 0;
  });
  EXPECT_TRUE(released_within(0, 10s));
}

TEST_F(WarmCameraTest, IsGivenBackAfterTheIdleTime) {
  options_.camera.idle_close = 300ms;
  plug(0, timed_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  value_of(camera->capture_jpeg({640, 480}));
  EXPECT_EQ(state(0).stream_starts, 1);
  EXPECT_TRUE(released_within(0, 10s));
  EXPECT_FALSE(state(0).streaming);
  EXPECT_EQ(state(0).mapped_buffers, 0);
}

}  // namespace
}  // namespace webcam_test
