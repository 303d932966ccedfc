// What the still-picture decoder and the RTSP reader share: decoded FFmpeg frames, FFmpeg's
// error texts, and FFmpeg's own messages in the service's log.
#pragma once

#include <memory>
#include <string>


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

}  // namespace app::net
