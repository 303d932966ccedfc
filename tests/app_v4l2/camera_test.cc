// Taking pictures from a webcam through the fake device layer: formats, sizes, the first dark
// frames, stale frames after a control change, the stream's life, and every device fault.
#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "app/v4l2/mjpeg.h"
#include "webcam_fixture.h"

namespace webcam_test {
namespace {

using fake_v4l2::Camera;

std::string header(const app::JpegFrame& frame, const std::string& name) {
  for (const auto& [key, value] : frame.headers) {
    if (key == name) return value;
  }
  return "(none)";
}

app::Image decoded(const app::JpegFrame& frame) {
  auto image = app::decode_jpeg(frame.bytes);
  EXPECT_FALSE(app::failed(image)) << "the frame does not decode";
  return app::failed(image) ? app::Image{} : std::get<app::Image>(image);
}

class CameraTest : public WebcamTest {};

TEST_F(CameraTest, ServesTheCamerasOwnJpegWithTheStandardTablesPutIn) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  const auto frame = value_of(camera->capture_jpeg({1280, 720}));
  EXPECT_TRUE(app::v4l2::has_huffman_tables(frame.bytes));
  EXPECT_EQ(state(0).fourcc, V4L2_PIX_FMT_MJPEG);
  EXPECT_EQ(frame.width, 1280);
  EXPECT_EQ(frame.height, 720);
  const app::Image image = decoded(frame);
  EXPECT_EQ(image.width, 1280);
  EXPECT_EQ(image.height, 720);
  EXPECT_TRUE(shows_scene(image));
  EXPECT_EQ(header(frame, "X-Frame-Size"), "1280x720");
  EXPECT_EQ(header(frame, "X-Asked-Size"), "(none)");
}

struct RawCase {
  const char* what;
  std::uint32_t fourcc;
  bool limited_range;
  std::size_t row_padding;
};

void PrintTo(const RawCase& c, std::ostream* out) { *out << c.what; }

class RawFormats : public WebcamTest, public ::testing::WithParamInterface<RawCase> {};

TEST_P(RawFormats, AreEncodedWithTheirColoursAndSize) {
  const RawCase& c = GetParam();
  Camera webcam = fake_v4l2::webcam_with({{c.fourcc, {{320, 240}, {160, 120}}}});
  webcam.limited_range = c.limited_range;
  webcam.row_padding = c.row_padding;
  plug(0, webcam);
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  const auto frame = value_of(camera->capture_jpeg({320, 240}));
  EXPECT_EQ(state(0).fourcc, c.fourcc);
  const app::Image image = decoded(frame);
  EXPECT_EQ(image.width, 320);
  EXPECT_EQ(image.height, 240);
  EXPECT_TRUE(shows_scene(image));

  const auto gray = value_of(camera->capture_gray());
  EXPECT_EQ(gray.format, app::PixelFormat::kGray);
  EXPECT_EQ(gray.width, 320);
  // Luma of the red quarter: 0.299 * 200 + 0.587 * 40 + 0.114 * 40, in the camera's range.
  const int red = c.limited_range ? 16 + 88 * 219 / 255 : 88;
  EXPECT_NEAR(quarter_level(gray, 0), red, 4);
}

INSTANTIATE_TEST_SUITE_P(Webcam, RawFormats,
                         ::testing::Values(RawCase{"yuyv", V4L2_PIX_FMT_YUYV, true, 0},
                                           RawCase{"yuyv_full_range", V4L2_PIX_FMT_YUYV, false, 0},
                                           RawCase{"yuyv_padded_rows", V4L2_PIX_FMT_YUYV, true, 64},
                                           RawCase{"nv12", V4L2_PIX_FMT_NV12, true, 0},
                                           RawCase{"nv12_padded_rows", V4L2_PIX_FMT_NV12, true, 32}),
                         [](const auto& test) { return std::string(test.param.what); });

TEST_F(CameraTest, FitsTheModeThatCoversAnUnofferedSizeInsideIt) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  const auto frame = value_of(camera->capture_jpeg({1000, 700}));
  EXPECT_EQ(frame.width, 1000);
  EXPECT_EQ(frame.height, 563);
  const app::Image image = decoded(frame);
  EXPECT_EQ(image.width, 1000);
  EXPECT_EQ(image.height, 563);
  EXPECT_TRUE(shows_scene(image));
  EXPECT_EQ(header(frame, "X-Frame-Size"), "1000x563");
  EXPECT_EQ(header(frame, "X-Asked-Size"), "1000x700");
  EXPECT_EQ(camera->info().width, 1280);  // streaming in the mode that covers the box
  EXPECT_EQ(state(0).size.width, 1280);
}

TEST_F(CameraTest, ReportsTheSizeTheDriverChoseInstead) {
  Camera webcam = fake_v4l2::uvc_webcam();
  webcam.forced_size = fake_v4l2::Size{640, 480};  // a driver that ignores the asked size
  plug(0, webcam);
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  const auto frame = value_of(camera->capture_jpeg({1280, 720}));
  EXPECT_EQ(frame.width, 640);
  EXPECT_EQ(frame.height, 480);
  const app::Image image = decoded(frame);
  EXPECT_EQ(image.width, 640);
  EXPECT_EQ(image.height, 480);
  EXPECT_EQ(header(frame, "X-Frame-Size"), "640x480");
  EXPECT_EQ(header(frame, "X-Asked-Size"), "1280x720");
}

TEST_F(CameraTest, WithoutASizeTakesTheCamerasCurrentOne) {
  plug(0, fake_v4l2::uvc_webcam());  // set to 640x480
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  const auto frame = value_of(camera->capture_jpeg({}));
  EXPECT_EQ(frame.width, 640);
  EXPECT_EQ(frame.height, 480);
  EXPECT_EQ(state(0).fourcc, V4L2_PIX_FMT_MJPEG);  // offered at that size too
  EXPECT_EQ(header(frame, "X-Asked-Size"), "(none)");
}

TEST_F(CameraTest, SkipsTheDarkFramesAfterStarting) {
  Camera webcam = fake_v4l2::uvc_webcam();
  webcam.dark_frames = 8;  // more than its buffers hold, so draining them is not enough
  plug(0, webcam);
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  EXPECT_TRUE(shows_scene(decoded(value_of(camera->capture_jpeg({640, 480})))));
}

TEST_F(CameraTest, KeepsStreamingBetweenPicturesAndRestartsForAnotherSize) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  value_of(camera->capture_jpeg({640, 480}));
  value_of(camera->capture_jpeg({}));  // no size: whatever it streams
  value_of(camera->capture_gray());
  EXPECT_EQ(state(0).stream_starts, 1);

  EXPECT_EQ(value_of(camera->capture_jpeg({1280, 720})).width, 1280);
  EXPECT_EQ(state(0).stream_starts, 2);
  EXPECT_EQ(state(0).mapped_buffers, 4);  // the first stream's buffers were given back
}

TEST_F(CameraTest, DrainsFramesTakenBeforeAControlChange) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  EXPECT_TRUE(shows_scene(decoded(value_of(camera->capture_jpeg({640, 480})))));
  // Every buffer now holds a frame at full brightness.
  value_of(camera->set_control("brightness", 64));
  EXPECT_TRUE(shows_scene(decoded(value_of(camera->capture_jpeg({640, 480}))), 0.5));

  // Gray frames for the focus sweep, likewise.
  value_of(camera->set_control("brightness", 128));
  const auto gray = value_of(camera->capture_gray());
  EXPECT_NEAR(quarter_level(gray, 3), 200, 6);
}

TEST_F(CameraTest, MeasuresGrayFramesAtReducedScale) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({1920, 1080}));
  const auto gray = value_of(camera->capture_gray());
  EXPECT_EQ(gray.format, app::PixelFormat::kGray);
  EXPECT_EQ(gray.width, 480);
  EXPECT_EQ(gray.height, 270);
  EXPECT_NEAR(quarter_level(gray, 0), 88, 6);
  EXPECT_EQ(state(0).stream_starts, 1);  // measured on the stream as it runs
}

TEST_F(CameraTest, SkipsFramesCutShortOnTheWay) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  layer_->change(node(0), [](Camera& c) { c.truncated_frames = 2; });
  const auto frame = value_of(camera->capture_jpeg({640, 480}));
  EXPECT_TRUE(shows_scene(decoded(frame)));
  EXPECT_EQ(state(0).truncated_frames, 0);  // both were delivered, and passed over
}

TEST_F(CameraTest, GivesTheCameraBackWhenIdle) {
  options_.camera.idle_close = std::chrono::milliseconds(20);
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (state(0).open_fds > 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const Camera after = state(0);
  EXPECT_EQ(after.open_fds, 0);
  EXPECT_EQ(after.mapped_buffers, 0);
  EXPECT_FALSE(after.streaming);

  value_of(camera->capture_jpeg({640, 480}));  // and takes it again when asked
  EXPECT_EQ(state(0).stream_starts, 2);
}

TEST_F(CameraTest, ClosesEverythingWhenDestroyed) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  EXPECT_EQ(state(0).open_fds, 1);
  camera.reset();
  unplug(0);
  source().devices();  // forgets the camera whose node went
  EXPECT_EQ(state(0).open_fds, 0);
  EXPECT_EQ(state(0).mapped_buffers, 0);
}

TEST_F(CameraTest, RefusesAnEmptySize) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  EXPECT_EQ(failure_of(camera->capture_jpeg({0, 480})).status, 400);
  EXPECT_EQ(failure_of(camera->capture_jpeg({640, -1})).status, 400);
}

TEST_F(CameraTest, RefusesACameraWithNoFormatItCanRead) {
  plug(0, fake_v4l2::webcam_with({{V4L2_PIX_FMT_H264, {{1920, 1080}}}}));
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  const auto failure = failure_of(camera->capture_jpeg({}));
  EXPECT_EQ(failure.status, 502);
  EXPECT_EQ(failure.message,
            "camera 0 offers none of the pixel formats this service reads (MJPEG, YUYV, NV12)");
}

// Faults that strike once the camera was found: each is reported with a status and a clear
// message, and leaves no descriptor or mapping behind.
struct Fault {
  const char* what;
  std::function<void(Camera&)> inject;
  int status;
  std::string message;  // how the message starts: the rest may name the node's path
};

void PrintTo(const Fault& f, std::ostream* out) { *out << f.what; }

class Faults : public WebcamTest, public ::testing::WithParamInterface<Fault> {};

TEST_P(Faults, AreReportedAndLeaveNothingOpen) {
  const Fault& fault = GetParam();
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  layer_->change(node(0), fault.inject);

  const auto failure = failure_of(camera->capture_jpeg({640, 480}));
  EXPECT_EQ(failure.status, fault.status);
  EXPECT_EQ(failure.message.substr(0, fault.message.size()), fault.message) << failure.message;
  const Camera after = state(0);
  EXPECT_EQ(after.open_fds, 0);
  EXPECT_EQ(after.mapped_buffers, 0);
  EXPECT_FALSE(after.streaming);
}

const std::string kBusy = "camera 0 is busy (used by another program)";

INSTANTIATE_TEST_SUITE_P(
    Webcam, Faults,
    ::testing::Values(
        Fault{"busy_on_open", [](Camera& c) { c.open_error = EBUSY; }, 409, kBusy},
        Fault{"busy_on_format", [](Camera& c) { c.ioctl_errors[VIDIOC_S_FMT] = EBUSY; }, 409, kBusy},
        Fault{"busy_on_buffers", [](Camera& c) { c.ioctl_errors[VIDIOC_REQBUFS] = EBUSY; }, 409,
              kBusy},
        Fault{"no_permission", [](Camera& c) { c.open_error = EACCES; }, 403,
              "no permission to use camera 0 ("},
        Fault{"io_error_starting", [](Camera& c) { c.ioctl_errors[VIDIOC_STREAMON] = EIO; }, 502,
              "camera 0 could not start streaming: Input/output error"},
        Fault{"io_error_mapping", [](Camera& c) { c.ioctl_errors[VIDIOC_QUERYBUF] = EIO; }, 502,
              "camera 0 could not describe its frame buffers: Input/output error"},
        Fault{"io_error_delivering", [](Camera& c) { c.ioctl_errors[VIDIOC_DQBUF] = EIO; }, 502,
              "camera 0 could not deliver a frame: Input/output error"},
        Fault{"io_error_listing_formats", [](Camera& c) { c.ioctl_errors[VIDIOC_ENUM_FMT] = EIO; },
              502, "camera 0 could not list its pixel formats: Input/output error"},
        Fault{"unplugged_while_warming_up", [](Camera& c) { c.unplug_after_frames = 2; }, 404,
              "camera 0 was disconnected"},
        Fault{"unplugged_before_opening", [](Camera& c) { c.unplugged = true; }, 404,
              "camera 0 was disconnected"},
        Fault{"no_frames", [](Camera& c) { c.stalled = true; }, 504,
              "camera 0 sent no frame within 5000 ms"}),
    [](const auto& test) { return std::string(test.param.what); });

TEST_F(CameraTest, PermissionMessageNamesTheNode) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  layer_->change(node(0), [](Camera& c) { c.open_error = EACCES; });
  const auto failure = failure_of(camera->capture_jpeg({}));
  EXPECT_EQ(failure.status, 403);
  EXPECT_EQ(failure.message, "no permission to use camera 0 (" + node(0) +
                                 "): the service's user must be allowed to open it, usually by "
                                 "being in the video group");
}

TEST_F(CameraTest, ReportsACameraUnpluggedMidCaptureAndRecoversWhenItReturns) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  value_of(camera->capture_jpeg({640, 480}));
  const int delivered = state(0).frames_dequeued;
  layer_->change(node(0), [&](Camera& c) { c.unplug_after_frames = delivered + 2; });

  const auto failure = failure_of(camera->capture_jpeg({640, 480}));
  EXPECT_EQ(failure.status, 404);
  EXPECT_EQ(failure.message, "camera 0 was disconnected");
  EXPECT_EQ(failure_of(camera->capture_gray()).status, 404);
  EXPECT_EQ(failure_of(camera->controls()).status, 404);
  EXPECT_EQ(state(0).open_fds, 0);
  EXPECT_EQ(state(0).mapped_buffers, 0);

  // Plugged back in on the same node.
  layer_->change(node(0), [](Camera& c) {
    c.unplugged = false;
    c.unplug_after_frames.reset();
  });
  EXPECT_TRUE(shows_scene(decoded(value_of(camera->capture_jpeg({640, 480})))));
}

TEST_F(CameraTest, ReportsAnotherProgramHoldingTheCameraAndWorksOnceItLetsGo) {
  plug(0, fake_v4l2::uvc_webcam());
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  // Another program opens the camera and takes its buffers, as a video call would.
  const int other = layer_->open(node(0));
  v4l2_requestbuffers buffers{};
  buffers.count = 2;
  buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buffers.memory = V4L2_MEMORY_MMAP;
  ASSERT_EQ(layer_->ioctl(other, VIDIOC_REQBUFS, &buffers), 0);

  const auto failure = failure_of(camera->capture_jpeg({640, 480}));
  EXPECT_EQ(failure.status, 409);
  EXPECT_EQ(failure.message, kBusy);
  // Its controls can still be read, as with a real driver.
  EXPECT_FALSE(app::failed(camera->controls()));

  layer_->close(other);
  EXPECT_TRUE(shows_scene(decoded(value_of(camera->capture_jpeg({640, 480})))));
}

TEST_F(CameraTest, ServesTheFocusSweepItsPieces) {
  options_.camera.focus_settle = std::chrono::milliseconds(250);
  Camera webcam = fake_v4l2::uvc_webcam();
  webcam.sharpest_focus = 150;
  plug(0, webcam);
  auto camera = this->camera(0);
  ASSERT_TRUE(camera);
  EXPECT_TRUE(camera->info().focusable);
  EXPECT_EQ(camera->focus_settle_time(), std::chrono::milliseconds(250));

  // A lens move, then a gray frame: it shows the lens where it was put, and autofocus is off.
  auto detail_at = [&](std::int64_t focus) {
    value_of(camera->set_control("focus", focus));
    const app::Image gray = value_of(camera->capture_gray());
    long contrast = 0;
    for (std::size_t x = 1; x < static_cast<std::size_t>(gray.width); ++x) {
      contrast += std::abs(gray.pixels[x] - gray.pixels[x - 1]);
    }
    return contrast;
  };
  const long far = detail_at(0);
  const long sharp = detail_at(150);
  const long near = detail_at(250);
  EXPECT_GT(sharp, 2 * far);
  EXPECT_GT(sharp, 2 * near);
  EXPECT_EQ(state(0).control(V4L2_CID_FOCUS_AUTO)->value, 0);
  EXPECT_EQ(state(0).control(V4L2_CID_FOCUS_ABSOLUTE)->value, 250);
}

}  // namespace
}  // namespace webcam_test
