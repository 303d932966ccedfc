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

// From the first call on, the FFmpeg libraries' own messages (errors only) go to standard error
// as lines of the service's log, "tirvane-app: ffmpeg: ...", with any password in a URL masked.
void route_ffmpeg_log();

// FFmpeg's words for an error code.
std::string av_error_text(int code);

// `frame` converted (and scaled, bilinear) to `width` x `height` in `format`, with tight rows.
Result<Image> frame_to_image(const AVFrame& frame, PixelFormat format, int width, int height);

// `frame` in RGB at its own size.
inline Result<Image> frame_to_rgb(const AVFrame& frame) {
  return frame_to_image(frame, PixelFormat::kRgb, frame.width, frame.height);
}

}  // namespace app::net
