// Choosing the format and size to ask a camera for.
#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include "app/v4l2/formats.h"

namespace {

using app::FrameRequest;
using app::v4l2::choose_format;
using app::v4l2::FormatChoice;
using app::v4l2::FrameSize;
using app::v4l2::OfferedFormat;
using app::v4l2::SizeRange;

constexpr std::uint32_t kMjpeg = V4L2_PIX_FMT_MJPEG;
constexpr std::uint32_t kYuyv = V4L2_PIX_FMT_YUYV;
constexpr std::uint32_t kNv12 = V4L2_PIX_FMT_NV12;

// As a UVC webcam lists them, MJPEG first since that is preferred.
const std::vector<OfferedFormat> kWebcam = {
    {kMjpeg, {{1920, 1080}, {1280, 720}, {640, 480}}, std::nullopt},
    {kYuyv, {{640, 480}, {320, 240}}, std::nullopt},
};

struct Case {
  const char* what;
  FrameRequest request;
  FrameSize current;
  FormatChoice expected;
};

void PrintTo(const Case& c, std::ostream* out) { *out << c.what; }

class ChooseFormat : public ::testing::TestWithParam<Case> {};

TEST_P(ChooseFormat, PicksTheModeThatBestCoversTheBoxAndPrefersMjpeg) {
  const Case& c = GetParam();
  const auto choice = choose_format(kWebcam, c.request, c.current);
  ASSERT_TRUE(choice.has_value());
  EXPECT_EQ(choice->fourcc, c.expected.fourcc) << c.what;
  EXPECT_EQ(choice->size.width, c.expected.size.width) << c.what;
  EXPECT_EQ(choice->size.height, c.expected.size.height) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Webcam, ChooseFormat,
    ::testing::Values(
        Case{"offered in MJPEG", {1280, 720}, {640, 480}, {kMjpeg, {1280, 720}}},
        Case{"offered in both: MJPEG", {640, 480}, {320, 240}, {kMjpeg, {640, 480}}},
        Case{"offered in YUYV only", {320, 240}, {640, 480}, {kYuyv, {320, 240}}},
        Case{"not offered: the smallest that covers it", {1000, 700}, {640, 480}, {kMjpeg, {1280, 720}}},
        Case{"other aspect: the one that fills the box most", {800, 600}, {640, 480}, {kMjpeg, {1280, 720}}},
        Case{"covered in its aspect", {640, 360}, {640, 480}, {kMjpeg, {1280, 720}}},
        Case{"covered by a smaller mode", {400, 300}, {1920, 1080}, {kMjpeg, {640, 480}}},
        Case{"as large fitted: the smaller mode", {1280, 960}, {640, 480}, {kMjpeg, {1280, 720}}},
        Case{"smaller than any: the smallest", {160, 120}, {640, 480}, {kYuyv, {320, 240}}},
        Case{"larger than any: the largest", {4000, 3000}, {640, 480}, {kMjpeg, {1920, 1080}}},
        Case{"no size: the current one", {}, {320, 240}, {kYuyv, {320, 240}}},
        Case{"no size, current unknown: the largest", {}, {0, 0}, {kMjpeg, {1920, 1080}}},
        Case{"width only", {1280, std::nullopt}, {640, 480}, {kMjpeg, {1280, 720}}},
        Case{"height only", {std::nullopt, 1080}, {640, 480}, {kMjpeg, {1920, 1080}}}),
    [](const auto& test) {
      std::string name;
      for (const char* c = test.param.what; *c; ++c) name += std::isalnum(*c) ? *c : '_';
      return name;
    });

TEST(ChooseFormatRange, RoundsToTheDriversSteps) {
  const std::vector<OfferedFormat> stepwise = {
      {kNv12, {}, SizeRange{{64, 64}, {1920, 1080}, 16, 8}}};
  const auto choice = choose_format(stepwise, {1000, 700}, {640, 480});
  ASSERT_TRUE(choice.has_value());
  EXPECT_EQ(choice->fourcc, kNv12);
  EXPECT_EQ(choice->size, (FrameSize{1008, 704}));

  const auto clamped = choose_format(stepwise, {5000, 10}, {640, 480});
  ASSERT_TRUE(clamped.has_value());
  EXPECT_EQ(clamped->size, (FrameSize{1920, 64}));
}

TEST(ChooseFormatRange, SizesLeftToTheDriverWhenItListsNone) {
  const std::vector<OfferedFormat> silent = {{kYuyv, {}, std::nullopt}};
  const auto choice = choose_format(silent, {800, 600}, {640, 480});
  ASSERT_TRUE(choice.has_value());
  EXPECT_EQ(choice->size, (FrameSize{800, 600}));
}

TEST(ChooseFormatRange, NothingOffered) {
  EXPECT_FALSE(choose_format({}, {640, 480}, {640, 480}).has_value());
}

}  // namespace
