#include "webcam_fixture.h"

#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>

namespace webcam_test {

WebcamTest::WebcamTest() {
  std::string pattern = (std::filesystem::path(::testing::TempDir()) / "webcams-XXXXXX").string();
  root_ = ::mkdtemp(pattern.data());
  options_.root = root_;
  // Long enough that no test sees the node closed behind its back, unless it asks for that.
  options_.camera.idle_close = std::chrono::minutes(1);
  options_.camera.focus_settle = std::chrono::milliseconds(0);
}

WebcamTest::~WebcamTest() {
  source_.reset();
  std::error_code ignored;
  std::filesystem::remove_all(root_, ignored);
}

std::string WebcamTest::node(int number) const {
  return (root_ / ("video" + std::to_string(number))).string();
}

void WebcamTest::plug(int number, fake_v4l2::Camera camera) {
  std::ofstream(node(number)).put('\0');
  layer_->add(node(number), std::move(camera));
}

void WebcamTest::unplug(int number) {
  std::filesystem::remove(node(number));
  layer_->unplug(node(number));
}

app::v4l2::WebcamProvider& WebcamTest::source() {
  if (!source_) source_ = std::make_unique<app::v4l2::WebcamProvider>(layer_, options_);
  return *source_;
}

std::shared_ptr<app::Device> WebcamTest::camera(int number) {
  auto found = source().find(std::to_string(number));
  if (!found) {
    ADD_FAILURE() << "the id " << number << " is not taken as a webcam's";
    return nullptr;
  }
  return value_of(*found);
}

namespace {

struct Region {
  int x0, y0, x1, y1;
};

Region middle_of(const app::Image& image, int quarter) {
  const int w = image.width / 2, h = image.height / 2;
  const int left = (quarter % 2) * w, top = (quarter / 2) * h;
  return {left + w / 4, top + h / 4, left + 3 * w / 4, top + 3 * h / 4};
}

}  // namespace

std::array<int, 3> quarter_colour(const app::Image& image, int quarter) {
  const Region r = middle_of(image, quarter);
  const std::size_t channels = app::bytes_per_pixel(image.format);
  std::array<long, 3> sum{};
  long count = 0;
  for (int y = r.y0; y < r.y1; ++y) {
    for (int x = r.x0; x < r.x1; ++x) {
      const std::uint8_t* at = image.pixels.data() + static_cast<std::size_t>(y) * image.stride +
                               static_cast<std::size_t>(x) * channels;
      for (std::size_t c = 0; c < 3; ++c) sum[c] += at[std::min(c, channels - 1)];
      ++count;
    }
  }
  if (count == 0) return {-1, -1, -1};
  return {static_cast<int>(sum[0] / count), static_cast<int>(sum[1] / count),
          static_cast<int>(sum[2] / count)};
}

int quarter_level(const app::Image& gray, int quarter) { return quarter_colour(gray, quarter)[0]; }

::testing::AssertionResult shows_scene(const app::Image& image, double gain, int tolerance) {
  for (int quarter = 0; quarter < 4; ++quarter) {
    const auto seen = quarter_colour(image, quarter);
    for (std::size_t c = 0; c < 3; ++c) {
      const double expected = std::min(255.0, kSceneColours[static_cast<std::size_t>(quarter)][c] * gain);
      if (std::abs(seen[c] - expected) > tolerance) {
        return ::testing::AssertionFailure()
               << "quarter " << quarter << " is (" << seen[0] << ", " << seen[1] << ", "
               << seen[2] << "); channel " << c << " should be near " << expected;
      }
    }
  }
  return ::testing::AssertionSuccess();
}

}  // namespace webcam_test
