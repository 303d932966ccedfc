// Turning a buffer a compositor filled into the upright BGRX picture everything downstream takes:
// its pixel format read (32-bit formats only), its output transform undone and a y-inverted
// buffer turned right way up.
#pragma once

#include <cstdint>
#include <optional>

#include "app/image.h"

namespace app::wayland {

// How the four bytes of a pixel lie in memory, as far as this service can read them.
enum class ByteOrder {
  kBgrx,  // B, G, R, X: wl_shm XRGB8888 / ARGB8888, taken as it is
  kRgbx,  // R, G, B, X: XBGR8888 / ABGR8888
  kXrgb,  // X, R, G, B: BGRX8888 / BGRA8888
  kXbgr,  // X, B, G, R: RGBX8888 / RGBA8888
};

// The byte order of a wl_shm format code, or nothing for a format that cannot be read.
std::optional<ByteOrder> byte_order_of(std::uint32_t shm_format);

// The wl_output transforms, as numbered by the protocol: a quarter turn count (counter-clockwise)
// in the low two bits, and a mirror flag.
struct OutputTransform {
  int quarter_turns = 0;  // 0..3
  bool flipped = false;
  static OutputTransform from_protocol(std::int32_t value);
  bool swaps_sides() const { return quarter_turns % 2 == 1; }
};

struct BufferLayout {
  int width = 0;  // as filled, before the transform is undone
  int height = 0;
  std::size_t stride = 0;
  ByteOrder order = ByteOrder::kBgrx;
  OutputTransform transform;
  bool y_invert = false;
};

// True when the buffer already is the upright BGRX picture and can be handed on as it is.
bool already_upright(const BufferLayout& layout);

// The upright BGRX picture of `pixels` (laid out as `layout`), written into `out` (resized when
// needed; its memory is reused from call to call).
void make_upright(const std::uint8_t* pixels, const BufferLayout& layout, Image& out);

}  // namespace app::wayland
