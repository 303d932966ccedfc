// Finding webcams: which nodes are listed, under which id and name, and how missing, unusable
// and replaced cameras are answered.
#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <fstream>

#include "webcam_fixture.h"

namespace webcam_test {
namespace {

using fake_v4l2::Camera;

struct Listed {
  std::string id;
  std::string name;
  bool focusable;
  std::optional<int> width;
  std::optional<int> height;
  friend bool operator==(const Listed&, const Listed&) = default;
  friend std::ostream& operator<<(std::ostream& out, const Listed& l) {
    return out << l.id << " " << l.name << " " << l.focusable;
  }
};

class WebcamSourceTest : public WebcamTest {
 protected:
  std::vector<Listed> listing() {
    std::vector<Listed> listed;
    for (const auto& device : source().devices()) {
      const app::DeviceInfo info = device->info();
      listed.push_back({info.id, info.name, info.focusable, info.width, info.height});
    }
    return listed;
  }
};

Camera second_camera() {
  Camera camera = fake_v4l2::webcam_with({{V4L2_PIX_FMT_YUYV, {{320, 240}}}});
  camera.card = "Integrated Camera: Integrated C";
  camera.bus_info = "usb-0000:00:14.0-8";
  std::erase_if(camera.controls, [](const auto& c) {
    return c.id == V4L2_CID_FOCUS_ABSOLUTE || c.id == V4L2_CID_FOCUS_AUTO;
  });
  return camera;
}

TEST_F(WebcamSourceTest, ListsEveryCaptureNodeByNumberAndCardName) {
  plug(0, fake_v4l2::uvc_webcam());
  plug(1, fake_v4l2::metadata_node());  // the UVC camera's metadata
  plug(10, second_camera());
  plug(11, fake_v4l2::metadata_node());
  Camera output_only;
  output_only.caps = V4L2_CAP_VIDEO_OUTPUT | V4L2_CAP_STREAMING;
  plug(12, output_only);
  // Other entries of the device folder.
  for (const char* name : {"video", "videox", "video1a", "vbi0", "media0"}) {
    std::ofstream(root_ / name).put('\0');
  }
  std::filesystem::create_directory(root_ / "v4l");

  EXPECT_EQ(listing(), (std::vector<Listed>{
                           {"0", "Fake HD Webcam", true, 640, 480},
                           {"10", "Integrated Camera: Integrated C", false, 320, 240},
                       }));
  // Looking did not leave anything open.
  EXPECT_EQ(state(0).open_fds, 0);
  EXPECT_EQ(state(1).open_fds, 0);
}

TEST_F(WebcamSourceTest, ListsNothingWithoutCameras) {
  EXPECT_TRUE(listing().empty());
  options_.root = root_ / "missing";
  EXPECT_TRUE(WebcamTest::source().devices().size() == 0);
}

TEST_F(WebcamSourceTest, TakesOnlyNumbersAsItsIds) {
  plug(0, fake_v4l2::uvc_webcam());
  for (const char* id : {"", "screen", "test", "net:phone", "-1", "0x1", " 0", "1234567890"}) {
    EXPECT_FALSE(source().find(id).has_value()) << id;
  }
  EXPECT_TRUE(source().find("0").has_value());
}

TEST_F(WebcamSourceTest, FindsTheSameCameraItLists) {
  plug(0, fake_v4l2::uvc_webcam());
  const auto listed = source().devices();
  ASSERT_EQ(listed.size(), 1u);
  const auto found = value_of(*source().find("0"));
  EXPECT_EQ(found, listed.front());  // one camera object, so one stream and one lock
  EXPECT_EQ(found->info().name, "Fake HD Webcam");

  // Still the same while it streams, without looking at the node again.
  value_of(found->capture_jpeg({640, 480}));
  const int opens = state(0).opens;
  EXPECT_EQ(value_of(*source().find("0")), found);
  EXPECT_EQ(source().devices().front(), found);
  EXPECT_EQ(state(0).opens, opens);
}

TEST_F(WebcamSourceTest, AnswersForNodesThatAreNoCamera) {
  plug(1, fake_v4l2::metadata_node());
  const struct {
    const char* id;
    int status;
    std::string message;
  } cases[] = {
      {"7", 404, "no such camera: 7"},
      {"1", 404, "camera 1 (" + node(1) + ") carries metadata only, not pictures"},
  };
  for (const auto& c : cases) {
    const auto found = source().find(c.id);
    ASSERT_TRUE(found.has_value()) << c.id;
    const auto failure = failure_of(*found);
    EXPECT_EQ(failure.status, c.status) << c.id;
    EXPECT_EQ(failure.message, c.message) << c.id;
  }
}

TEST_F(WebcamSourceTest, ForgetsARemovedCamera) {
  plug(0, fake_v4l2::uvc_webcam());
  plug(2, second_camera());
  auto held = value_of(*source().find("0"));
  value_of(held->capture_jpeg({640, 480}));

  unplug(0);
  EXPECT_EQ(listing().size(), 1u);
  EXPECT_EQ(listing().front().id, "2");
  const auto failure = failure_of(*source().find("0"));
  EXPECT_EQ(failure.status, 404);
  EXPECT_EQ(failure.message, "no such camera: 0");
  // Whoever still holds it hears that it is gone, and nothing stays open.
  const auto gone = failure_of(held->capture_jpeg({640, 480}));
  EXPECT_EQ(gone.status, 404);
  EXPECT_EQ(gone.message, "camera 0 was disconnected");
  EXPECT_EQ(state(0).open_fds, 0);
  EXPECT_EQ(state(0).mapped_buffers, 0);
}

TEST_F(WebcamSourceTest, TakesANewCameraOnAReusedNodeForANewOne) {
  plug(0, fake_v4l2::uvc_webcam());
  auto first = value_of(*source().find("0"));
  layer_->add(node(0), second_camera());  // unplugged, another plugged in, same number
  auto second = value_of(*source().find("0"));
  EXPECT_NE(first, second);
  EXPECT_EQ(second->info().name, "Integrated Camera: Integrated C");
  EXPECT_FALSE(second->info().focusable);
}

TEST_F(WebcamSourceTest, ListsCamerasItCannotOpenAndSaysWhy) {
  Camera locked = fake_v4l2::uvc_webcam();
  locked.open_error = EACCES;
  Camera exclusive = fake_v4l2::uvc_webcam();
  exclusive.open_error = EBUSY;
  Camera failing = fake_v4l2::uvc_webcam();
  failing.ioctl_errors[VIDIOC_QUERYCAP] = EIO;
  plug(0, locked);
  plug(1, exclusive);
  plug(2, failing);

  EXPECT_EQ(listing(),
            (std::vector<Listed>{
                {"0", "camera without permission to open " + node(0), false, {}, {}},
                {"1", "camera busy (used by another program)", false, {}, {}},
                {"2", "camera failing on " + node(2) + " (Input/output error)", false, {}, {}},
            }));

  const struct {
    const char* id;
    int status;
    std::string message;
  } cases[] = {
      {"0", 403,
       "no permission to use camera 0 (" + node(0) +
           "): the service's user must be allowed to open it, usually by being in the video "
           "group"},
      {"1", 409, "camera 1 is busy (used by another program)"},
      {"2", 502, "camera 2 could not be opened: Input/output error"},
  };
  for (const auto& c : cases) {
    const auto failure = failure_of(*source().find(c.id));
    EXPECT_EQ(failure.status, c.status) << c.id;
    EXPECT_EQ(failure.message, c.message) << c.id;
  }
  // A listed one answers the same when used.
  const auto listed = source().devices();
  EXPECT_EQ(failure_of(listed[0]->capture_jpeg({})).status, 403);
  EXPECT_EQ(failure_of(listed[1]->controls()).status, 409);

  // Once the permission is granted, the camera is listed as what it is.
  layer_->change(node(0), [](Camera& c) { c.open_error = 0; });
  EXPECT_EQ(listing().front().name, "Fake HD Webcam");
  EXPECT_TRUE(shows_scene(std::get<app::Image>(app::decode_jpeg(
      value_of(value_of(*source().find("0"))->capture_jpeg({640, 480})).bytes))));
}

TEST_F(WebcamSourceTest, ListsACameraAnotherProgramIsUsing) {
  plug(0, fake_v4l2::uvc_webcam());
  const int other = layer_->open(node(0));
  v4l2_requestbuffers buffers{};
  buffers.count = 2;
  buffers.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buffers.memory = V4L2_MEMORY_MMAP;
  ASSERT_EQ(layer_->ioctl(other, VIDIOC_REQBUFS, &buffers), 0);

  EXPECT_EQ(listing(), (std::vector<Listed>{{"0", "Fake HD Webcam", true, 640, 480}}));
  const auto failure = failure_of(value_of(*source().find("0"))->capture_jpeg({}));
  EXPECT_EQ(failure.status, 409);
  EXPECT_EQ(failure.message, "camera 0 is busy (used by another program)");
  layer_->close(other);
}

}  // namespace
}  // namespace webcam_test
