#include "app/wayland/pixel_layout.h"

#include <cstring>

namespace app::wayland {
namespace {

constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 |
         static_cast<std::uint32_t>(c) << 16 | static_cast<std::uint32_t>(d) << 24;
}

// The byte offsets of blue, green and red within a pixel.
struct Channels {
  int blue, green, red;
};

Channels channels_of(ByteOrder order) {
  switch (order) {
    case ByteOrder::kBgrx: return {0, 1, 2};
    case ByteOrder::kRgbx: return {2, 1, 0};
    case ByteOrder::kXrgb: return {3, 2, 1};
    case ByteOrder::kXbgr: return {1, 2, 3};
  }
  return {0, 1, 2};
}

}  // namespace

std::optional<ByteOrder> byte_order_of(std::uint32_t shm_format) {
  // wl_shm names ARGB8888 and XRGB8888 0 and 1; every other code is the DRM fourcc.
  switch (shm_format) {
    case 0:
    case 1: return ByteOrder::kBgrx;
    case fourcc('X', 'B', '2', '4'):
    case fourcc('A', 'B', '2', '4'): return ByteOrder::kRgbx;
    case fourcc('B', 'X', '2', '4'):
    case fourcc('B', 'A', '2', '4'): return ByteOrder::kXrgb;
    case fourcc('R', 'X', '2', '4'):
    case fourcc('R', 'A', '2', '4'): return ByteOrder::kXbgr;
    default: return std::nullopt;
  }
}

OutputTransform OutputTransform::from_protocol(std::int32_t value) {
  return {value & 3, (value & 4) != 0};
}

bool already_upright(const BufferLayout& layout) {
  return layout.order == ByteOrder::kBgrx && layout.transform.quarter_turns == 0 &&
         !layout.transform.flipped && !layout.y_invert;
}

void make_upright(const std::uint8_t* pixels, const BufferLayout& layout, Image& out) {
  const bool swap = layout.transform.swaps_sides();
  const int width = swap ? layout.height : layout.width;
  const int height = swap ? layout.width : layout.height;
  if (out.width != width || out.height != height || out.format != PixelFormat::kBgrx) {
    out = make_image(width, height, PixelFormat::kBgrx);
  }
  const int last_x = layout.width - 1;
  const int last_y = layout.height - 1;
  // Where the buffer row `y` really is.
  const auto row = [&](int y) {
    const int real = layout.y_invert ? last_y - y : y;
    return pixels + static_cast<std::size_t>(real) * layout.stride;
  };

  // The common cases first: only rows reversed, or only bytes reordered.
  if (layout.transform.quarter_turns == 0 && !layout.transform.flipped &&
      layout.order == ByteOrder::kBgrx) {
    for (int y = 0; y < height; ++y) {
      std::memcpy(out.pixels.data() + static_cast<std::size_t>(y) * out.stride, row(y),
                  static_cast<std::size_t>(width) * 4);
    }
    return;
  }

  const Channels c = channels_of(layout.order);
  // The buffer was made by turning the upright picture `quarter_turns` quarters counter-
  // clockwise after mirroring it (left to right) when flipped. Each upright pixel (x, y) is
  // read from the buffer position that this sends it to.
  const int turns = layout.transform.quarter_turns;
  const bool flipped = layout.transform.flipped;
  for (int y = 0; y < height; ++y) {
    std::uint8_t* to = out.pixels.data() + static_cast<std::size_t>(y) * out.stride;
    for (int x = 0; x < width; ++x, to += 4) {
      const int mx = flipped ? width - 1 - x : x;
      int bx = mx, by = y;
      switch (turns) {
        case 1: bx = y; by = last_y - mx; break;
        case 2: bx = last_x - mx; by = last_y - y; break;
        case 3: bx = last_x - y; by = mx; break;
        default: break;
      }
      const std::uint8_t* from = row(by) + static_cast<std::size_t>(bx) * 4;
      to[0] = from[c.blue];
      to[1] = from[c.green];
      to[2] = from[c.red];
      to[3] = 0xFF;
    }
  }
}

}  // namespace app::wayland
