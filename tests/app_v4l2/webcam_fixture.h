// Webcams on a fake device layer, found by a WebcamProvider under a temporary device folder.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <string>

#include "app/device.h"
#include "app/image.h"
#include "app/v4l2/webcam_provider.h"
#include "fake_camera.h"

namespace webcam_test {

class WebcamTest : public ::testing::Test {
 protected:
  WebcamTest();
  ~WebcamTest() override;

  // The node's path in the temporary device folder.
  std::string node(int number) const;
  // A camera appears as video<number>.
  void plug(int number, fake_v4l2::Camera camera);
  // It disappears: its node file goes and the fake answers as for an unplugged device.
  void unplug(int number);

  app::v4l2::WebcamProvider& source();
  // The webcam with this number, found through the source; fails the test when it is not.
  std::shared_ptr<app::Device> camera(int number);
  fake_v4l2::Camera state(int number) const { return layer_->state(node(number)); }

  std::filesystem::path root_;
  std::shared_ptr<fake_v4l2::FakeDeviceLayer> layer_ = std::make_shared<fake_v4l2::FakeDeviceLayer>();
  app::v4l2::WebcamOptions options_;

 private:
  std::unique_ptr<app::v4l2::WebcamProvider> source_;
};

template <class T>
app::Failure failure_of(const app::Result<T>& result) {
  EXPECT_TRUE(app::failed(result)) << "expected a failure";
  return app::failed(result) ? std::get<app::Failure>(result)
                             : app::Failure{app::FailureKind::kInternal, "no failure"};
}

template <class T>
const T& value_of(const app::Result<T>& result) {
  if (app::failed(result)) {
    ADD_FAILURE() << "failed: " << std::get<app::Failure>(result).status << " "
                  << std::get<app::Failure>(result).message;
    static const T empty{};
    return empty;
  }
  return std::get<T>(result);
}

// The mean colour of the middle of one quarter of an RGB image (0 top left, 1 top right,
// 2 bottom left, 3 bottom right), away from the edges where chroma is shared.
std::array<int, 3> quarter_colour(const app::Image& image, int quarter);

// The mean level of a gray image's quarter, likewise.
int quarter_level(const app::Image& gray, int quarter);

// The colours of the fake's scene at normal brightness, by quarter.
inline constexpr std::array<std::array<int, 3>, 4> kSceneColours = {
    {{200, 40, 40}, {40, 200, 40}, {40, 40, 200}, {200, 200, 200}}};

// True when every channel of each quarter is within `tolerance` of the scene scaled by `gain`.
::testing::AssertionResult shows_scene(const app::Image& image, double gain = 1.0,
                                       int tolerance = 6);

}  // namespace webcam_test
