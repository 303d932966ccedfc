#include "app/test_camera.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "app/test_scene.h"

namespace app {
namespace {

// How far the picture blurs per focus step away from the sharp position, in pixels of a
// 720-line frame; other sizes blur in proportion, so every size shows the same picture.
constexpr double kBlurPerStep = 0.15;
constexpr std::int64_t kNominalExposure = 250;
constexpr int kMeasureWidth = 640;  // frames for the focus sweep
// Rendered charts are kept up to this many bytes in all; a larger chart is drawn afresh each
// time rather than held (one 7680x4320 chart alone is 100 MB).
constexpr std::size_t kChartBytesKept = 32u << 20;

const ControlInfo* find_control(const std::vector<ControlInfo>& controls, std::string_view name) {
  for (const ControlInfo& control : controls) {
    if (control.name == name) return &control;
  }
  return nullptr;
}

std::int64_t value_of(const std::vector<ControlInfo>& controls, std::string_view name) {
  return find_control(controls, name)->value;
}

}  // namespace

TestCamera::TestCamera(int width, int height)
    : width_(width),
      height_(height),
      controls_{
          // Starts a little out of focus, as a camera does before anyone focuses it.
          {"focus", 0, 255, 1, 110, 110},
          {"zoom", 100, 400, 1, 100, 100},
          {"exposure", 3, 2047, 1, kNominalExposure, kNominalExposure},
          {"brightness", -64, 64, 1, 0, 0},
      } {}

DeviceInfo TestCamera::describe() const {
  return DeviceInfo{std::string(kTestCameraId), "Test camera (built-in test chart)", true, width_,
                    height_};
}

std::int64_t TestCamera::sharp_focus() const {
  return 150 - (value_of(controls_, "zoom") - 100) / 5;
}

Image TestCamera::chart(int width, int height) {
  const std::int64_t zoom = value_of(controls_, "zoom");
  const auto key = std::make_tuple(width, height, zoom);
  if (auto found = charts_.find(key); found != charts_.end()) return found->second;
  Image drawn = render_chart(width, height, static_cast<double>(zoom) / 100.0);
  if (drawn.pixels.size() > kChartBytesKept) return drawn;
  std::size_t kept = drawn.pixels.size();
  for (const auto& [size, image] : charts_) kept += image.pixels.size();
  while (kept > kChartBytesKept && !charts_.empty()) {
    kept -= charts_.begin()->second.pixels.size();
    charts_.erase(charts_.begin());
  }
  return charts_.emplace(key, std::move(drawn)).first->second;
}

Image TestCamera::render(int width, int height, PixelFormat format) {
  const double zoom = static_cast<double>(value_of(controls_, "zoom")) / 100.0;
  Image image = chart(width, height);
  draw_clock(image, zoom, std::chrono::system_clock::now(), ++frames_);
  if (format == PixelFormat::kGray) image = to_gray(image);
  const auto distance = std::abs(value_of(controls_, "focus") - sharp_focus());
  defocus(image, static_cast<double>(distance) * kBlurPerStep * height / 720.0);
  apply_exposure(image,
                 static_cast<double>(value_of(controls_, "exposure")) / kNominalExposure,
                 static_cast<int>(value_of(controls_, "brightness")));
  return image;
}

Result<JpegFrame> TestCamera::take_jpeg(const FrameRequest& request) {
  const int width = request.width.value_or(width_);
  const int height = request.height.value_or(height_);
  Image image = render(width, height, PixelFormat::kRgb);
  Result<std::string> jpeg = encode_jpeg(view_of(image));
  if (auto* failure = std::get_if<Failure>(&jpeg)) return *failure;
  // Said with every picture, so a reader that is not a person cannot take the chart for a view.
  return JpegFrame{std::move(std::get<std::string>(jpeg)), width, height,
                   {{"X-Device-Warning",
                     "test is the built-in synthetic test camera: a drawn test chart, not a real "
                     "camera"}}};
}

Result<Image> TestCamera::take_gray() {
  const int width = std::min(kMeasureWidth, width_);
  const int height = std::max(1, static_cast<int>(std::lround(static_cast<double>(height_) * width / width_)));
  return render(width, height, PixelFormat::kGray);
}

Result<std::vector<ControlInfo>> TestCamera::list_controls() { return controls_; }

Result<ControlChange> TestCamera::change_control(std::string_view name, std::int64_t value) {
  auto found = std::find_if(controls_.begin(), controls_.end(),
                            [&](const ControlInfo& control) { return control.name == name; });
  if (found == controls_.end()) {
    return Failure{FailureKind::kNotFound, "camera test has no control named " + std::string(name)};
  }
  if (value < found->min || value > found->max) {
    return Failure{FailureKind::kBadRequest, found->name + " must be between " +
                                                 std::to_string(found->min) + " and " +
                                                 std::to_string(found->max)};
  }
  ControlChange change{found->name, value, found->value};
  found->value = value;
  return change;
}

TestCameraProvider::TestCameraProvider(std::shared_ptr<TestCamera> camera)
    : camera_(std::move(camera)) {}

std::vector<std::shared_ptr<Device>> TestCameraProvider::devices() { return {camera_}; }

std::optional<Result<std::shared_ptr<Device>>> TestCameraProvider::find(std::string_view id) {
  if (id != kTestCameraId) return std::nullopt;
  return Result<std::shared_ptr<Device>>(std::shared_ptr<Device>(camera_));
}

}  // namespace app
