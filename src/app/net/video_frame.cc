#include "app/net/video_frame.h"

extern "C" {
#include <libavutil/error.h>
#include <libswscale/swscale.h>
}

namespace app::net {

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  std::string out = text;
  if (!out.empty() && out[0] >= 'A' && out[0] <= 'Z' && !(out.size() > 1 && out[1] >= 'A' && out[1] <= 'Z')) {
    out[0] = static_cast<char>(out[0] - 'A' + 'a');
  }
  return out;
}

Result<Image> frame_to_image(const AVFrame& frame, PixelFormat format, int width, int height) {
  if (frame.width <= 0 || frame.height <= 0 || frame.format < 0) {
    return Failure{502, "a decoded frame has no size"};
  }
  const AVPixelFormat target = format == PixelFormat::kGray ? AV_PIX_FMT_GRAY8
                               : format == PixelFormat::kBgrx ? AV_PIX_FMT_BGR0
                                                              : AV_PIX_FMT_RGB24;
  SwsContext* scaler = sws_getContext(frame.width, frame.height,
                                      static_cast<AVPixelFormat>(frame.format), width, height,
                                      target, SWS_BILINEAR, nullptr, nullptr, nullptr);
  if (scaler == nullptr) return Failure{502, "its frames are in a pixel format that cannot be converted"};
  Image image = make_image(width, height, format);
  std::uint8_t* planes[4] = {image.pixels.data(), nullptr, nullptr, nullptr};
  const int strides[4] = {static_cast<int>(image.stride), 0, 0, 0};
  const int rows = sws_scale(scaler, frame.data, frame.linesize, 0, frame.height, planes, strides);
  sws_freeContext(scaler);
  if (rows != height) return Failure{502, "a decoded frame could not be converted"};
  return image;
}

}  // namespace app::net
