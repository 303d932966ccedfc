#include "app/v4l2/raw_frame.h"

#include <linux/videodev2.h>
#include <turbojpeg.h>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
}

#include <algorithm>
#include <array>
#include <cmath>
#include <memory>
#include <vector>

namespace app::v4l2 {
namespace {

struct HandleCloser {
  void operator()(void* handle) const { tjDestroy(handle); }
};

using Table = std::array<std::uint8_t, 256>;

// JPEG's YCbCr is full range; a limited-range frame is stretched to it.
Table range_table(bool limited, bool chroma) {
  Table table{};
  for (int value = 0; value < 256; ++value) {
    double out = value;
    if (limited) out = chroma ? (value - 128) * 255.0 / 224.0 + 128 : (value - 16) * 255.0 / 219.0;
    table[static_cast<std::size_t>(value)] =
        static_cast<std::uint8_t>(std::clamp(std::lround(out), 0L, 255L));
  }
  return table;
}

const std::uint8_t* byte_ptr(std::string_view bytes) {
  return reinterpret_cast<const std::uint8_t*>(bytes.data());
}

// Planar Y, Cb, Cr copies of the frame, at TurboJPEG's 4:2:2 (YUYV) or 4:2:0 (NV12) layout.
struct Planes {
  std::array<std::vector<std::uint8_t>, 3> plane;
  std::array<int, 3> stride{};
  int subsampling = TJSAMP_420;
};

Planes split_planes(const RawFrame& frame) {
  const Table luma = range_table(frame.limited_range, false);
  const Table chroma = range_table(frame.limited_range, true);
  const int width = frame.width;
  const int height = frame.height;
  const int chroma_width = (width + 1) / 2;
  const bool yuyv = frame.fourcc == V4L2_PIX_FMT_YUYV;
  const int chroma_height = yuyv ? height : (height + 1) / 2;
  const auto w = static_cast<std::size_t>(width);
  const auto cw = static_cast<std::size_t>(chroma_width);

  Planes planes;
  planes.subsampling = yuyv ? TJSAMP_422 : TJSAMP_420;
  planes.stride = {width, chroma_width, chroma_width};
  planes.plane[0].resize(w * static_cast<std::size_t>(height));
  planes.plane[1].resize(cw * static_cast<std::size_t>(chroma_height));
  planes.plane[2].resize(cw * static_cast<std::size_t>(chroma_height));

  const std::uint8_t* source = byte_ptr(frame.bytes);
  if (yuyv) {
    for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
      const std::uint8_t* row = source + y * frame.stride;
      std::uint8_t* out_y = planes.plane[0].data() + y * w;
      std::uint8_t* out_u = planes.plane[1].data() + y * cw;
      std::uint8_t* out_v = planes.plane[2].data() + y * cw;
      for (std::size_t x = 0; x < w; ++x) out_y[x] = luma[row[2 * x]];
      for (std::size_t x = 0; x < cw; ++x) {
        out_u[x] = chroma[row[4 * x + 1]];
        out_v[x] = chroma[row[4 * x + 3]];
      }
    }
    return planes;
  }
  // NV12: the luma plane, then one plane of interleaved Cb Cr at half height, same stride.
  for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
    const std::uint8_t* row = source + y * frame.stride;
    std::uint8_t* out_y = planes.plane[0].data() + y * w;
    for (std::size_t x = 0; x < w; ++x) out_y[x] = luma[row[x]];
  }
  const std::uint8_t* chroma_plane = source + frame.stride * static_cast<std::size_t>(height);
  for (std::size_t y = 0; y < static_cast<std::size_t>(chroma_height); ++y) {
    const std::uint8_t* row = chroma_plane + y * frame.stride;
    std::uint8_t* out_u = planes.plane[1].data() + y * cw;
    std::uint8_t* out_v = planes.plane[2].data() + y * cw;
    for (std::size_t x = 0; x < cw; ++x) {
      out_u[x] = chroma[row[2 * x]];
      out_v[x] = chroma[row[2 * x + 1]];
    }
  }
  return planes;
}

}  // namespace

std::size_t raw_frame_size(std::uint32_t fourcc, std::size_t stride, int height) {
  const auto rows = static_cast<std::size_t>(std::max(height, 0));
  if (fourcc == V4L2_PIX_FMT_NV12) return stride * rows + stride * ((rows + 1) / 2);
  return stride * rows;
}

Result<std::string> encode_raw_frame(const RawFrame& frame, int quality) {
  if (frame.width <= 0 || frame.height <= 0 ||
      frame.bytes.size() < raw_frame_size(frame.fourcc, frame.stride, frame.height)) {
    return Failure{FailureKind::kDeviceFailed,
                   "the camera's frame is shorter than its format says"};
  }
  const Planes planes = split_planes(frame);
  std::unique_ptr<void, HandleCloser> handle(tjInitCompress());
  if (!handle) return Failure{FailureKind::kInternal, "cannot start the JPEG encoder"};
  const unsigned char* sources[3] = {planes.plane[0].data(), planes.plane[1].data(),
                                     planes.plane[2].data()};
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  if (tjCompressFromYUVPlanes(handle.get(), sources, frame.width, planes.stride.data(),
                              frame.height, planes.subsampling, &jpeg, &size, quality,
                              TJFLAG_FASTDCT) != 0) {
    std::string message = std::string("cannot encode the JPEG: ") + tjGetErrorStr2(handle.get());
    tjFree(jpeg);
    return Failure{FailureKind::kInternal, message};
  }
  std::string bytes(reinterpret_cast<const char*>(jpeg), size);
  tjFree(jpeg);
  return bytes;
}

Result<std::string> encode_raw_frame_scaled(const RawFrame& frame, int width, int height,
                                            int quality, PixelScaler& scaler) {
  if (frame.width <= 0 || frame.height <= 0 ||
      frame.bytes.size() < raw_frame_size(frame.fourcc, frame.stride, frame.height)) {
    return Failure{FailureKind::kDeviceFailed,
                   "the camera's frame is shorter than its format says"};
  }
  // The driver's buffer as the scaler reads it; nothing is copied.
  AVFrame view{};
  view.width = frame.width;
  view.height = frame.height;
  view.format = frame.fourcc == V4L2_PIX_FMT_YUYV ? AV_PIX_FMT_YUYV422 : AV_PIX_FMT_NV12;
  view.color_range = frame.limited_range ? AVCOL_RANGE_MPEG : AVCOL_RANGE_JPEG;
  auto* base = const_cast<std::uint8_t*>(byte_ptr(frame.bytes));
  const int stride = static_cast<int>(frame.stride);
  view.data[0] = base;
  view.linesize[0] = stride;
  if (frame.fourcc == V4L2_PIX_FMT_NV12) {
    view.data[1] = base + frame.stride * static_cast<std::size_t>(frame.height);
    view.linesize[1] = stride;
  }
  Result<Image> scaled = scaler.from_video_frame(view, PixelFormat::kRgb, width, height);
  if (auto* failure = std::get_if<Failure>(&scaled)) return *failure;
  return encode_jpeg(view_of(std::get<Image>(scaled)), quality);
}

Image raw_frame_gray(const RawFrame& frame, int reduce) {
  if (frame.width <= 0 || frame.height <= 0) return make_image(1, 1, PixelFormat::kGray);
  reduce = std::clamp(reduce, 1, std::min(frame.width, frame.height));
  const int width = std::max(frame.width / reduce, 1);
  const int height = std::max(frame.height / reduce, 1);
  Image image = make_image(width, height, PixelFormat::kGray);
  if (frame.bytes.size() < raw_frame_size(frame.fourcc, frame.stride, frame.height)) return image;
  // Luma is every byte of an NV12 row and every second byte of a YUYV row.
  const std::size_t step = frame.fourcc == V4L2_PIX_FMT_YUYV ? 2 : 1;
  const auto r = static_cast<std::size_t>(reduce);
  const std::uint8_t* source = byte_ptr(frame.bytes);
  for (std::size_t y = 0; y < static_cast<std::size_t>(height); ++y) {
    std::uint8_t* out = image.pixels.data() + y * image.stride;
    for (std::size_t x = 0; x < static_cast<std::size_t>(width); ++x) {
      unsigned sum = 0;
      for (std::size_t dy = 0; dy < r; ++dy) {
        const std::uint8_t* row = source + (y * r + dy) * frame.stride;
        for (std::size_t dx = 0; dx < r; ++dx) sum += row[(x * r + dx) * step];
      }
      out[x] = static_cast<std::uint8_t>(sum / (r * r));
    }
  }
  return image;
}

}  // namespace app::v4l2
