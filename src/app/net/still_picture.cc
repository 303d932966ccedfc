#include "app/net/still_picture.h"

#include <cstdint>
#include <memory>

#include "app/net/video_frame.h"
#include "app/pixel_scaler.h"

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace app::net {
namespace {

constexpr std::int64_t kMaxStillPixels = std::int64_t{8192} * 8192;

struct StillFormat {
  std::string_view name;
  std::string_view magic;
  std::size_t offset;  // where the magic bytes stand
  AVCodecID codec;
};

constexpr StillFormat kFormats[] = {
    {"PNG", "\x89PNG\r\n\x1a\n", 0, AV_CODEC_ID_PNG},
    {"GIF", "GIF8", 0, AV_CODEC_ID_GIF},
    {"BMP", "BM", 0, AV_CODEC_ID_BMP},
    {"WebP", "WEBP", 8, AV_CODEC_ID_WEBP},
    {"TIFF", "II*\0", 0, AV_CODEC_ID_TIFF},
    {"TIFF", "MM\0*", 0, AV_CODEC_ID_TIFF},
};

const StillFormat* format_of(std::string_view bytes) {
  for (const StillFormat& format : kFormats) {
    if (bytes.size() >= format.offset + format.magic.size() &&
        bytes.substr(format.offset, format.magic.size()) == format.magic) {
      return &format;
    }
  }
  return nullptr;
}

struct ContextFree {
  void operator()(AVCodecContext* context) const { avcodec_free_context(&context); }
};
struct PacketFree {
  void operator()(AVPacket* packet) const { av_packet_free(&packet); }
};

}  // namespace

std::optional<std::string> still_format(std::string_view bytes) {
  const StillFormat* format = format_of(bytes);
  if (format == nullptr) return std::nullopt;
  return std::string(format->name);
}

Result<Image> decode_still(std::string_view bytes) {
  const StillFormat* format = format_of(bytes);
  if (format == nullptr) return Failure{FailureKind::kDeviceFailed, "a picture in a format it cannot decode"};
  const std::string name(format->name);
  const AVCodec* codec = avcodec_find_decoder(format->codec);
  if (codec == nullptr) return Failure{FailureKind::kDeviceFailed, "this build has no " + name + " decoder"};
  std::unique_ptr<AVCodecContext, ContextFree> context(avcodec_alloc_context3(codec));
  std::unique_ptr<AVPacket, PacketFree> packet(av_packet_alloc());
  FramePointer frame(av_frame_alloc());
  // A small file can declare a huge picture: refuse to decode more than the largest frame side
  // squared rather than allocate whatever it asks for.
  if (context) context->max_pixels = kMaxStillPixels;
  if (!context || !packet || !frame || avcodec_open2(context.get(), codec, nullptr) < 0 ||
      av_new_packet(packet.get(), static_cast<int>(bytes.size())) < 0) {
    return Failure{FailureKind::kInternal, "cannot start the " + name + " decoder"};
  }
  std::copy(bytes.begin(), bytes.end(), packet->data);
  int status = avcodec_send_packet(context.get(), packet.get());
  if (status >= 0) status = avcodec_send_packet(context.get(), nullptr);  // the end: drain
  if (status >= 0 || status == AVERROR_EOF) status = avcodec_receive_frame(context.get(), frame.get());
  if (status < 0) return Failure{FailureKind::kDeviceFailed, "a " + name + " picture that does not decode (" + av_error_text(status) + ")"};
  PixelScaler scaler;
  return scaler.from_video_frame(*frame, PixelFormat::kRgb, frame->width, frame->height);
}

}  // namespace app::net
