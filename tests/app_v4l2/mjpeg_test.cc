// Serving a webcam's MJPEG frame as a JPEG file: the standard Huffman tables put in when the
// frame has none, damaged frames recognised.
#include <gtest/gtest.h>

#include <map>

#include "app/image.h"
#include "app/v4l2/mjpeg.h"
#include "fake_camera.h"

namespace {

using app::v4l2::has_huffman_tables;
using app::v4l2::servable_jpeg;

std::string sample_jpeg() {
  fake_v4l2::Camera camera = fake_v4l2::uvc_webcam();
  camera.sharpest_focus = 0;  // fine detail, so every table gets used
  const app::Image picture = fake_v4l2::scene(camera, 64, 48, false);
  return std::get<std::string>(app::encode_jpeg(app::view_of(picture), 90));
}

// Every Huffman table of a JPEG by class and id: the 16 code counts and the symbols.
std::map<int, std::string> huffman_tables(const std::string& jpeg) {
  std::map<int, std::string> tables;
  std::size_t at = 2;
  while (at + 4 <= jpeg.size() && static_cast<unsigned char>(jpeg[at + 1]) != 0xDA) {
    const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(jpeg[at + 2])) << 8 |
                               static_cast<unsigned char>(jpeg[at + 3]);
    if (static_cast<unsigned char>(jpeg[at + 1]) == 0xC4) {
      std::size_t t = at + 4;
      while (t < at + 2 + length) {
        const int which = static_cast<unsigned char>(jpeg[t]);
        std::size_t symbols = 0;
        for (std::size_t i = 1; i <= 16; ++i) symbols += static_cast<unsigned char>(jpeg[t + i]);
        tables[which] = jpeg.substr(t + 1, 16 + symbols);
        t += 17 + symbols;
      }
    }
    at += 2 + length;
  }
  return tables;
}

TEST(ServableJpeg, PutsTheStandardTablesIntoAFrameWithout) {
  const std::string original = sample_jpeg();
  ASSERT_TRUE(has_huffman_tables(original));
  const std::string frame = fake_v4l2::without_huffman_tables(original);
  ASSERT_FALSE(has_huffman_tables(frame));

  const auto served = servable_jpeg(frame);
  ASSERT_TRUE(served.has_value());
  EXPECT_TRUE(has_huffman_tables(*served));
  // libjpeg-turbo codes with the standard tables: the ones put in are exactly those.
  EXPECT_EQ(huffman_tables(*served), huffman_tables(original));
  EXPECT_EQ(huffman_tables(original).size(), 4u);

  const auto expected = std::get<app::Image>(app::decode_jpeg(original));
  const auto decoded = app::decode_jpeg(*served);
  ASSERT_FALSE(app::failed(decoded));
  EXPECT_EQ(std::get<app::Image>(decoded).pixels, expected.pixels);
}

TEST(ServableJpeg, KeepsAFrameWithTablesAndDropsThePaddingAfterIt) {
  const std::string original = sample_jpeg();
  EXPECT_EQ(servable_jpeg(original), original);
  EXPECT_EQ(servable_jpeg(original + std::string(300, '\0')), original);

  const std::string bare = fake_v4l2::without_huffman_tables(original);
  const auto padded = servable_jpeg(bare + std::string(64, '\0'));
  ASSERT_TRUE(padded.has_value());
  EXPECT_EQ(padded, servable_jpeg(bare));
  EXPECT_EQ(padded->substr(padded->size() - 2), "\xFF\xD9");
}

TEST(ServableJpeg, RefusesDamagedFrames) {
  const std::string whole = fake_v4l2::without_huffman_tables(sample_jpeg());
  const std::size_t scan = whole.find("\xFF\xDA");
  ASSERT_NE(scan, std::string::npos);
  const struct {
    const char* what;
    std::string frame;
  } cases[] = {
      {"empty", ""},
      {"not a JPEG", "hello, world"},
      {"no start marker", whole.substr(2)},
      {"cut in the headers", whole.substr(0, scan / 2)},
      {"cut before the scan", whole.substr(0, scan)},
      {"cut in the scan", whole.substr(0, scan + (whole.size() - scan) / 2)},
      {"only zeros after the start", std::string("\xFF\xD8", 2) + std::string(100, '\0')},
      {"segment longer than the frame", std::string("\xFF\xD8\xFF\xE0\x7F\xFF", 6) + "abc"},
  };
  for (const auto& c : cases) EXPECT_FALSE(servable_jpeg(c.frame).has_value()) << c.what;
}

}  // namespace
