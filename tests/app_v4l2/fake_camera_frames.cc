#include "fake_camera_frames.h"

#include <linux/videodev2.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace fake_v4l2 {

bool is_compressed(std::uint32_t fourcc) {
  return fourcc == V4L2_PIX_FMT_MJPEG || fourcc == V4L2_PIX_FMT_JPEG;
}

std::size_t stride_of(const Camera& camera, int width) {
  if (camera.fourcc == V4L2_PIX_FMT_YUYV) return static_cast<std::size_t>(width) * 2 + camera.row_padding;
  if (camera.fourcc == V4L2_PIX_FMT_NV12) return static_cast<std::size_t>(width) + camera.row_padding;
  return 0;
}

std::size_t image_size_of(const Camera& camera) {
  const auto w = static_cast<std::size_t>(camera.size.width);
  const auto h = static_cast<std::size_t>(camera.size.height);
  if (camera.fourcc == V4L2_PIX_FMT_YUYV) return stride_of(camera, camera.size.width) * h;
  if (camera.fourcc == V4L2_PIX_FMT_NV12) {
    return stride_of(camera, camera.size.width) * (h + (h + 1) / 2);
  }
  return w * h * 2 + camera.mjpeg_padding + 4096;
}

struct Ycc {
  std::uint8_t y, cb, cr;
};

Ycc to_ycc(const std::uint8_t* rgb, bool limited) {
  const double r = rgb[0], g = rgb[1], b = rgb[2];
  auto clamp = [](double v) {
    return static_cast<std::uint8_t>(std::clamp(std::lround(v), 0L, 255L));
  };
  if (limited) {
    return {clamp(16 + (65.481 * r + 128.553 * g + 24.966 * b) / 255),
            clamp(128 + (-37.797 * r - 74.203 * g + 112.0 * b) / 255),
            clamp(128 + (112.0 * r - 93.786 * g - 18.214 * b) / 255)};
  }
  return {clamp(0.299 * r + 0.587 * g + 0.114 * b),
          clamp(128 - 0.168736 * r - 0.331264 * g + 0.5 * b),
          clamp(128 + 0.5 * r - 0.418688 * g - 0.081312 * b)};
}

std::vector<std::uint8_t> encode_frame(const Camera& camera, const app::Image& picture) {
  const int width = picture.width;
  const int height = picture.height;
  auto pixel = [&](int x, int y) {
    return picture.pixels.data() + static_cast<std::size_t>(y) * picture.stride +
           static_cast<std::size_t>(x) * 3;
  };
  std::vector<std::uint8_t> out;
  if (camera.fourcc == V4L2_PIX_FMT_YUYV) {
    const std::size_t stride = stride_of(camera, width);
    out.assign(stride * static_cast<std::size_t>(height), 0);
    for (int y = 0; y < height; ++y) {
      std::uint8_t* row = out.data() + static_cast<std::size_t>(y) * stride;
      for (int x = 0; x + 1 < width; x += 2) {
        const Ycc a = to_ycc(pixel(x, y), camera.limited_range);
        const Ycc b = to_ycc(pixel(x + 1, y), camera.limited_range);
        std::uint8_t* at = row + static_cast<std::size_t>(x) * 2;
        at[0] = a.y;
        at[1] = static_cast<std::uint8_t>((a.cb + b.cb + 1) / 2);
        at[2] = b.y;
        at[3] = static_cast<std::uint8_t>((a.cr + b.cr + 1) / 2);
      }
    }
    return out;
  }
  if (camera.fourcc == V4L2_PIX_FMT_NV12) {
    const std::size_t stride = stride_of(camera, width);
    const auto h = static_cast<std::size_t>(height);
    out.assign(stride * (h + (h + 1) / 2), 0);
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        out[static_cast<std::size_t>(y) * stride + static_cast<std::size_t>(x)] =
            to_ycc(pixel(x, y), camera.limited_range).y;
      }
    }
    std::uint8_t* chroma = out.data() + stride * h;
    for (int y = 0; y + 1 < height; y += 2) {
      for (int x = 0; x + 1 < width; x += 2) {
        int cb = 0, cr = 0;
        for (int dy = 0; dy < 2; ++dy) {
          for (int dx = 0; dx < 2; ++dx) {
            const Ycc c = to_ycc(pixel(x + dx, y + dy), camera.limited_range);
            cb += c.cb;
            cr += c.cr;
          }
        }
        std::uint8_t* at = chroma + static_cast<std::size_t>(y / 2) * stride + static_cast<std::size_t>(x);
        at[0] = static_cast<std::uint8_t>((cb + 2) / 4);
        at[1] = static_cast<std::uint8_t>((cr + 2) / 4);
      }
    }
    return out;
  }
  auto jpeg = app::encode_jpeg(app::view_of(picture), 90);
  std::string bytes = std::get<std::string>(jpeg);
  if (!camera.mjpeg_tables) bytes = without_huffman_tables(bytes);
  out.assign(bytes.begin(), bytes.end());
  out.resize(out.size() + camera.mjpeg_padding, 0);
  return out;
}

double detail_at(const Camera& camera, double lens) {
  if (!camera.sharpest_focus) return 0;
  const double off = std::abs(lens - *camera.sharpest_focus);
  if (camera.gradual_defocus) return 80.0 / (1.0 + (off / 30.0) * (off / 30.0));
  return std::max(0.0, 1.0 - off / 60.0) * 80.0;
}

app::Image scene(const Camera& camera, int width, int height, bool dark) {
  const Control* focus = camera.control(V4L2_CID_FOCUS_ABSOLUTE);
  return scene_with_detail(camera, width, height, dark,
                           focus ? detail_at(camera, focus->value) : 0.0);
}

app::Image scene_with_detail(const Camera& camera, int width, int height, bool dark,
                             double detail) {
  app::Image image = app::make_image(width, height, app::PixelFormat::kRgb);
  if (dark) return image;
  double gain = 1.0;
  if (const Control* brightness = camera.control(V4L2_CID_BRIGHTNESS);
      brightness && brightness->default_value > 0) {
    gain = static_cast<double>(brightness->value) / brightness->default_value;
  }
  static constexpr std::uint8_t kQuarters[4][3] = {
      {200, 40, 40}, {40, 200, 40}, {40, 40, 200}, {200, 200, 200}};
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const int quarter = (y >= height / 2 ? 2 : 0) + (x >= width / 2 ? 1 : 0);
      const double texture = ((x / 2 + y / 2) % 2 == 0 ? 1 : -1) * detail / 2;
      std::uint8_t* at = image.pixels.data() + static_cast<std::size_t>(y) * image.stride +
                         static_cast<std::size_t>(x) * 3;
      for (int c = 0; c < 3; ++c) {
        at[c] = static_cast<std::uint8_t>(
            std::clamp(std::lround(kQuarters[quarter][c] * gain + texture), 0L, 255L));
      }
    }
  }
  return image;
}

std::string without_huffman_tables(std::string_view jpeg) {
  std::string out(jpeg.substr(0, 2));
  std::size_t at = 2;
  while (at + 4 <= jpeg.size()) {
    const auto marker = static_cast<unsigned char>(jpeg[at + 1]);
    if (marker == 0xDA) break;  // the scan and everything after it stay
    const std::size_t length = static_cast<std::size_t>(static_cast<unsigned char>(jpeg[at + 2])) << 8 |
                               static_cast<unsigned char>(jpeg[at + 3]);
    if (marker != 0xC4) out.append(jpeg.substr(at, 2 + length));
    at += 2 + length;
  }
  out.append(jpeg.substr(at));
  return out;
}

}  // namespace fake_v4l2
