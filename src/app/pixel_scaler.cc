#include "app/pixel_scaler.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/pixfmt.h>
#include <libswscale/swscale.h>
}

namespace app {
namespace {

AVPixelFormat av_format(PixelFormat format) {
  switch (format) {
    case PixelFormat::kBgrx:
      return AV_PIX_FMT_BGR0;
    case PixelFormat::kRgb:
      return AV_PIX_FMT_RGB24;
    case PixelFormat::kGray:
      return AV_PIX_FMT_GRAY8;
  }
  return AV_PIX_FMT_NONE;
}

}  // namespace

PixelScaler::~PixelScaler() { sws_freeContext(context_); }

SwsContext* PixelScaler::context_for(const Shape& shape) {
  if (context_ != nullptr && shape == shape_) return context_;
  sws_freeContext(context_);
  shape_ = shape;
  context_ = sws_getContext(shape.source_width, shape.source_height,
                            static_cast<AVPixelFormat>(shape.source_format), shape.width,
                            shape.height, static_cast<AVPixelFormat>(shape.format), SWS_BILINEAR,
                            nullptr, nullptr, nullptr);
  if (context_ != nullptr && shape.format == AV_PIX_FMT_YUV420P) {
    // Full-range RGB in, limited-range YUV out, by the matrix the frame is labelled with.
    const int* matrix =
        sws_getCoefficients(shape.colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601);
    sws_setColorspaceDetails(context_, matrix, 1, matrix, 0, 0, 1 << 16, 1 << 16);
  }
  if (context_ != nullptr && shape.source_full_range) {
    int* in_matrix = nullptr;
    int* out_matrix = nullptr;
    int in_full = 0, out_full = 0, brightness = 0, contrast = 0, saturation = 0;
    if (sws_getColorspaceDetails(context_, &in_matrix, &in_full, &out_matrix, &out_full,
                                 &brightness, &contrast, &saturation) >= 0) {
      sws_setColorspaceDetails(context_, in_matrix, 1, out_matrix, out_full, brightness, contrast,
                               saturation);
    }
  }
  return context_;
}

Result<Image> PixelScaler::resize(const PixelView& source, int width, int height) {
  if (width < 1 || height < 1 || source.width < 1 || source.height < 1) {
    return Failure{FailureKind::kInternal, "cannot resize to or from an empty picture"};
  }
  // RGB out for colour: swscale's packed 4-byte output path is about twice as slow as its 3-byte
  // one.
  const PixelFormat out =
      source.format == PixelFormat::kGray ? PixelFormat::kGray : PixelFormat::kRgb;
  Image image = make_image(width, height, out);
  SwsContext* context = context_for(
      {source.width, source.height, width, height, av_format(source.format), av_format(out), 0});
  if (context == nullptr) return Failure{FailureKind::kInternal, "cannot set up the image scaler"};
  const std::uint8_t* source_planes[] = {source.pixels};
  const int source_strides[] = {static_cast<int>(source.stride)};
  std::uint8_t* planes[] = {image.pixels.data()};
  const int strides[] = {static_cast<int>(image.stride)};
  if (sws_scale(context, source_planes, source_strides, 0, source.height, planes, strides) !=
      height) {
    return Failure{FailureKind::kInternal, "the image scaler failed"};
  }
  return image;
}

std::optional<Failure> PixelScaler::to_video_frame(const PixelView& source, AVFrame& frame) {
  if (source.format != PixelFormat::kBgrx)
    return Failure{FailureKind::kInternal, "can convert only BGRX pixels"};
  SwsContext* context =
      context_for({source.width, source.height, frame.width, frame.height,
                   av_format(PixelFormat::kBgrx), frame.format, frame.colorspace});
  if (context == nullptr)
    return Failure{FailureKind::kInternal, "cannot set up the colour converter"};
  const std::uint8_t* source_planes[] = {source.pixels};
  const int source_strides[] = {static_cast<int>(source.stride)};
  if (sws_scale(context, source_planes, source_strides, 0, source.height, frame.data,
                frame.linesize) != frame.height) {
    return Failure{FailureKind::kInternal, "cannot record the screen: the colour converter failed"};
  }
  return std::nullopt;
}

Result<Image> PixelScaler::from_video_frame(const AVFrame& frame, PixelFormat format, int width,
                                            int height) {
  if (width < 1 || height < 1 || frame.width < 1 || frame.height < 1 || frame.format < 0) {
    return Failure{FailureKind::kDeviceFailed, "a decoded frame has no size"};
  }
  const PixelFormat out = format == PixelFormat::kGray ? PixelFormat::kGray : PixelFormat::kRgb;
  Shape shape{frame.width, frame.height, width, height, frame.format, av_format(out), 0};
  shape.source_full_range = frame.color_range == AVCOL_RANGE_JPEG;
  SwsContext* context = context_for(shape);
  if (context == nullptr) {
    return Failure{FailureKind::kDeviceFailed,
                   "its frames are in a pixel format that cannot be converted"};
  }
  Image image = make_image(width, height, out);
  std::uint8_t* planes[] = {image.pixels.data()};
  const int strides[] = {static_cast<int>(image.stride)};
  if (sws_scale(context, frame.data, frame.linesize, 0, frame.height, planes, strides) != height) {
    return Failure{FailureKind::kInternal, "the image scaler failed"};
  }
  return image;
}

}  // namespace app
