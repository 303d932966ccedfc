// The reading of compositor buffers: every readable pixel format, every output transform and
// y-inverted buffers give the same upright BGRX picture; other formats are not readable.
#include "app/wayland/pixel_layout.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using app::wayland::BufferLayout;
using app::wayland::ByteOrder;
using app::wayland::OutputTransform;

constexpr int kWidth = 3;
constexpr int kHeight = 2;

// A distinct colour for each pixel of the upright 3x2 picture.
struct Colour {
  std::uint8_t r, g, b;
};
Colour upright_colour(int x, int y) {
  return {static_cast<std::uint8_t>(10 + x * 40 + y), static_cast<std::uint8_t>(100 + y * 60),
          static_cast<std::uint8_t>(200 - x * 30 - y * 7)};
}

// The buffer a compositor makes for an output with `transform`: the upright picture mirrored
// left to right when flipped, then turned a quarter counter-clockwise `quarter_turns` times.
std::vector<Colour> buffer_pixels(OutputTransform transform, int& width, int& height) {
  std::vector<Colour> pixels;
  width = kWidth;
  height = kHeight;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels.push_back(upright_colour(transform.flipped ? kWidth - 1 - x : x, y));
    }
  }
  for (int turn = 0; turn < transform.quarter_turns; ++turn) {
    std::vector<Colour> turned(pixels.size());
    // Counter-clockwise: the new (x, y) is the old (width - 1 - y, x).
    for (int y = 0; y < width; ++y) {
      for (int x = 0; x < height; ++x) {
        turned[static_cast<std::size_t>(y * height + x)] =
            pixels[static_cast<std::size_t>(x * width + (width - 1 - y))];
      }
    }
    pixels = std::move(turned);
    std::swap(width, height);
  }
  return pixels;
}

// Lays the pixels out in memory in `order`, rows padded to `stride` and stored bottom-up when
// `y_invert`.
std::vector<std::uint8_t> encode(const std::vector<Colour>& pixels, int width, int height,
                                 std::size_t stride, ByteOrder order, bool y_invert) {
  std::vector<std::uint8_t> bytes(stride * static_cast<std::size_t>(height), 0xEE);
  for (int y = 0; y < height; ++y) {
    const int row = y_invert ? height - 1 - y : y;
    for (int x = 0; x < width; ++x) {
      const Colour c = pixels[static_cast<std::size_t>(y * width + x)];
      std::uint8_t* p = bytes.data() + static_cast<std::size_t>(row) * stride +
                        static_cast<std::size_t>(x) * 4;
      const std::uint8_t x_byte = 0x7F;
      switch (order) {
        case ByteOrder::kBgrx: p[0] = c.b, p[1] = c.g, p[2] = c.r, p[3] = x_byte; break;
        case ByteOrder::kRgbx: p[0] = c.r, p[1] = c.g, p[2] = c.b, p[3] = x_byte; break;
        case ByteOrder::kXrgb: p[0] = x_byte, p[1] = c.r, p[2] = c.g, p[3] = c.b; break;
        case ByteOrder::kXbgr: p[0] = x_byte, p[1] = c.b, p[2] = c.g, p[3] = c.r; break;
      }
    }
  }
  return bytes;
}

TEST(PixelLayout, EveryFormatTransformAndInversionGivesTheUprightPicture) {
  for (ByteOrder order : {ByteOrder::kBgrx, ByteOrder::kRgbx, ByteOrder::kXrgb, ByteOrder::kXbgr}) {
    for (std::int32_t protocol_transform = 0; protocol_transform < 8; ++protocol_transform) {
      for (bool y_invert : {false, true}) {
        const OutputTransform transform = OutputTransform::from_protocol(protocol_transform);
        int width = 0, height = 0;
        const auto pixels = buffer_pixels(transform, width, height);
        const std::size_t stride = static_cast<std::size_t>(width) * 4 + 8;
        const auto bytes = encode(pixels, width, height, stride, order, y_invert);
        const BufferLayout layout{width, height, stride, order, transform, y_invert};
        SCOPED_TRACE("order " + std::to_string(static_cast<int>(order)) + ", transform " +
                     std::to_string(protocol_transform) + (y_invert ? ", y-inverted" : ""));
        EXPECT_EQ(app::wayland::already_upright(layout),
                  order == ByteOrder::kBgrx && protocol_transform == 0 && !y_invert);

        app::Image out;
        app::wayland::make_upright(bytes.data(), layout, out);
        ASSERT_EQ(out.width, kWidth);
        ASSERT_EQ(out.height, kHeight);
        ASSERT_EQ(out.format, app::PixelFormat::kBgrx);
        for (int y = 0; y < kHeight; ++y) {
          for (int x = 0; x < kWidth; ++x) {
            const std::uint8_t* p = out.pixels.data() + static_cast<std::size_t>(y) * out.stride +
                                    static_cast<std::size_t>(x) * 4;
            const Colour want = upright_colour(x, y);
            EXPECT_EQ((std::vector<int>{p[0], p[1], p[2]}),
                      (std::vector<int>{want.b, want.g, want.r}))
                << "pixel " << x << "," << y;
          }
        }
      }
    }
  }
}

TEST(PixelLayout, ReadsThe32BitFormatsAndRefusesOthers) {
  const auto fourcc = [](const char* code) {
    return static_cast<std::uint32_t>(code[0]) | static_cast<std::uint32_t>(code[1]) << 8 |
           static_cast<std::uint32_t>(code[2]) << 16 | static_cast<std::uint32_t>(code[3]) << 24;
  };
  EXPECT_EQ(app::wayland::byte_order_of(0), ByteOrder::kBgrx);  // ARGB8888
  EXPECT_EQ(app::wayland::byte_order_of(1), ByteOrder::kBgrx);  // XRGB8888
  EXPECT_EQ(app::wayland::byte_order_of(fourcc("XB24")), ByteOrder::kRgbx);
  EXPECT_EQ(app::wayland::byte_order_of(fourcc("AB24")), ByteOrder::kRgbx);
  EXPECT_EQ(app::wayland::byte_order_of(fourcc("BX24")), ByteOrder::kXrgb);
  EXPECT_EQ(app::wayland::byte_order_of(fourcc("BA24")), ByteOrder::kXrgb);
  EXPECT_EQ(app::wayland::byte_order_of(fourcc("RX24")), ByteOrder::kXbgr);
  EXPECT_EQ(app::wayland::byte_order_of(fourcc("RA24")), ByteOrder::kXbgr);
  for (const char* other : {"RG16", "XR30", "AR30", "RG24", "NV12", "XR48"}) {
    EXPECT_FALSE(app::wayland::byte_order_of(fourcc(other)).has_value()) << other;
  }
}

}  // namespace
