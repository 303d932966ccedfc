// Webcam pictures through real HTTP: the service's own API and HTTP layer, in this process over
// the fake device layer, listening on 127.0.0.1. A webcam meets an asked size with the mode that
// best covers the box and fits its picture inside the box, aspect kept, never enlarged; the
// camera's own JPEG goes out untouched only when it fits exactly. The size of each answer is
// read from the JPEG's own bytes.
#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <memory>
#include <thread>

#include "app/api.h"
#include "app/device_registry.h"
#include "app/http_service.h"
#include "app/source_registry.h"
#include "raw_http.h"
#include "webcam_fixture.h"

namespace webcam_test {
namespace {

using fake_v4l2::Camera;

class WebcamOverHttp : public WebcamTest {
 protected:
  // Serves the webcams under the test's device folder until the test ends.
  void serve() {
    provider_ = std::make_shared<app::v4l2::WebcamProvider>(layer_, options_);
    registry_ = std::make_unique<app::DeviceRegistry>(
        std::vector<app::RegisteredProvider>{{provider_, app::DefaultUse::kCandidate}});
    std::filesystem::create_directories(root_ / "config");
    sources_ = std::make_unique<app::SourceRegistry>((root_ / "config").string());
    api_ = std::make_unique<app::Api>(app::ServiceSettings{}, *registry_, *sources_, nullptr);
    auto socket = app::listen_on_loopback(0);
    ASSERT_FALSE(app::failed(socket)) << std::get<app::Failure>(socket).message;
    port_ = std::get<app::ListeningSocket>(socket).port;
    http_ = std::make_unique<app::HttpService>(*api_, std::get<app::ListeningSocket>(socket));
    serving_ = std::thread([this] { http_->serve(); });
  }

  ~WebcamOverHttp() override {
    if (http_) http_->stop();
    if (serving_.joinable()) serving_.join();
  }

  service_test::Answer get(const std::string& target) { return service_test::get(port_, target); }

  int port_ = 0;

 private:
  std::shared_ptr<app::v4l2::WebcamProvider> provider_;
  std::unique_ptr<app::DeviceRegistry> registry_;
  std::unique_ptr<app::SourceRegistry> sources_;
  std::unique_ptr<app::Api> api_;
  std::unique_ptr<app::HttpService> http_;
  std::thread serving_;
};

std::string size_of_jpeg(const std::string& bytes) {
  const auto size = app::jpeg_size(bytes);
  return size ? std::to_string(size->width) + "x" + std::to_string(size->height) : "not a JPEG";
}

// The fake camera notes in each MJPEG frame when its exposure began: a picture that still
// carries the note is the camera's own JPEG, not decoded and made again.
bool is_cameras_own_jpeg(const std::string& bytes) {
  return bytes.find("exposure-began ") != std::string::npos;
}

TEST_F(WebcamOverHttp, FitsTheModeThatBestCoversTheAskedBoxInsideIt) {
  plug(0, fake_v4l2::uvc_webcam());  // MJPEG 1920x1080, 1280x720, 640x480; YUYV 640x480, 320x240
  plug(1, fake_v4l2::webcam_with({{V4L2_PIX_FMT_YUYV, {{640, 480}, {320, 240}}}}));
  plug(2, fake_v4l2::webcam_with({{V4L2_PIX_FMT_NV12, {{1280, 720}}}}));
  Camera stubborn = fake_v4l2::uvc_webcam();
  stubborn.forced_size = fake_v4l2::Size{640, 480};  // a driver that ignores the asked size
  plug(3, stubborn);
  serve();

  struct Case {
    int camera;
    std::string asked;  // query parameters
    std::string mode;   // the mode the camera streams in (X-Source-Size)
    std::string sent;
    bool own_jpeg;      // the camera's JPEG passed through
  };
  for (const Case& c : std::vector<Case>{
           {0, "width=1280&height=720", "1280x720", "1280x720", true},
           {0, "width=640&height=480", "640x480", "640x480", true},
           {0, "", "1280x720", "1280x720", true},  // the service's default size
           {0, "width=1000&height=700", "1280x720", "1000x563", false},
           {0, "width=800&height=600", "1280x720", "800x450", false},
           {0, "width=640&height=360", "1280x720", "640x360", false},
           {0, "width=400&height=300", "640x480", "400x300", false},
           {0, "width=160&height=120", "320x240", "160x120", false},
           {0, "width=4000&height=3000", "1920x1080", "1920x1080", true},
           {1, "width=480&height=360", "640x480", "480x360", false},
           {1, "width=1280&height=720", "640x480", "640x480", false},
           {2, "width=640&height=480", "1280x720", "640x360", false},
           {3, "width=1280&height=720", "640x480", "640x480", true},
           {3, "width=320&height=200", "640x480", "267x200", false},
       }) {
    const std::string target = "/api/frame.jpg?device=" + std::to_string(c.camera) +
                               (c.asked.empty() ? "" : "&" + c.asked);
    SCOPED_TRACE(target);
    const service_test::Answer answer = get(target);
    ASSERT_EQ(answer.status, 200) << answer.body;
    EXPECT_EQ(answer.header("Content-Type"), "image/jpeg");
    EXPECT_EQ(size_of_jpeg(answer.body), c.sent);
    EXPECT_EQ(answer.header("X-Frame-Size"), c.sent);
    EXPECT_EQ(answer.header("X-Source-Size"), c.mode);
    EXPECT_EQ(is_cameras_own_jpeg(answer.body), c.own_jpeg);
    const auto picture = app::decode_jpeg(answer.body);
    ASSERT_FALSE(app::failed(picture));
    EXPECT_TRUE(shows_scene(std::get<app::Image>(picture)));
  }
}

}  // namespace
}  // namespace webcam_test
