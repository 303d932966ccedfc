// Decoded FFmpeg frames as the service's images: shared by the still-picture decoder and the
// RTSP reader.
#pragma once

#include <memory>
#include <string>

#include "app/failure.h"
#include "app/image.h"

extern "C" {
#include <libavutil/frame.h>
}

namespace app::net {

struct FrameFree {
  void operator()(AVFrame* frame) const { av_frame_free(&frame); }
};
using FramePointer = std::unique_ptr<AVFrame, FrameFree>;

// FFmpeg's words for an error code.
std::string av_error_text(int code);

// `frame` converted (and scaled, bilinear) to `width` x `height` in `format`, with tight rows.
Result<Image> frame_to_image(const AVFrame& frame, PixelFormat format, int width, int height);

// `frame` in RGB at its own size.
inline Result<Image> frame_to_rgb(const AVFrame& frame) {
  return frame_to_image(frame, PixelFormat::kRgb, frame.width, frame.height);
}

}  // namespace app::net
