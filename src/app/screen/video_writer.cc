#include "app/screen/video_writer.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libavutil/frame.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

#include <algorithm>
#include <mutex>
#include <thread>

namespace app {

void FrameDeleter::operator()(AVFrame* frame) const { av_frame_free(&frame); }

struct VideoWriter::State {
  VideoSettings settings;
  AVFormatContext* format = nullptr;
  AVCodecContext* codec = nullptr;
  AVStream* stream = nullptr;
  AVPacket* packet = nullptr;
  // The newest packet is held back until the next one arrives: only then is its duration known.
  AVPacket* held = nullptr;
  bool has_held = false;
  std::int64_t frames_written = 0;

  ~State() {
    av_packet_free(&held);
    av_packet_free(&packet);
    avcodec_free_context(&codec);
    if (format != nullptr) avio_closep(&format->pb);
    avformat_free_context(format);
  }
};

namespace {

std::string av_error_text(int code) {
  char text[AV_ERROR_MAX_STRING_SIZE] = {};
  av_strerror(code, text, sizeof text);
  return text;
}

Failure encoding_failure(const std::string& what, int code) {
  return {FailureKind::kInternal, "cannot record the screen: " + what + ": " + av_error_text(code)};
}

// HD video is BT.709, limited range; both encoders carry the labels in the stream.
void label_colours(AVColorRange& range, AVColorSpace& space, AVColorPrimaries& primaries,
                   AVColorTransferCharacteristic& transfer) {
  range = AVCOL_RANGE_MPEG;
  space = AVCOL_SPC_BT709;
  primaries = AVCOL_PRI_BT709;
  transfer = AVCOL_TRC_BT709;
}

int encoder_threads() {
  return static_cast<int>(std::clamp(std::thread::hardware_concurrency(), 1u, 8u));
}

// The most a second of video may cost: a tenth of a bit per pixel and frame, 6.2 Mbit/s at
// 1080p and 30 frames a second. Both encoders aim at a constant quality, so a still or plain
// screen costs far less; only a screen busy all over reaches this ceiling, which keeps two
// minutes of it under 100 MB.
std::int64_t max_bit_rate(const VideoSettings& settings) {
  return static_cast<std::int64_t>(settings.width) * settings.height * settings.fps / 10;
}

// VP9 in real time: the fastest settings, each row of 64x64 blocks and each of 4 tile columns
// encoded on whichever core is free; no look-ahead, so every frame comes out at once and in
// order. (VP8 at the same speed setting takes about five times the CPU here and drops frames at
// 1080p.) Constrained quality: a constant quality level, with the bit rate as its ceiling.
void set_vp9_options(AVCodecContext& codec, AVDictionary** options, const VideoSettings& settings) {
  codec.bit_rate = max_bit_rate(settings);
  codec.rc_max_rate = codec.bit_rate;
  av_dict_set(options, "crf", "32", 0);
  av_dict_set(options, "deadline", "realtime", 0);
  av_dict_set(options, "cpu-used", "8", 0);
  av_dict_set(options, "row-mt", "1", 0);
  av_dict_set(options, "tile-columns", "2", 0);
  av_dict_set(options, "lag-in-frames", "0", 0);
}

// H.264 that common players take: High profile, constant quality capped at the maximum rate
// over any second (the VBV buffer), no B-frames (so packets come out in presentation order and
// each one's duration is known when the next arrives).
void set_h264_options(AVCodecContext& codec, AVDictionary** options,
                      const VideoSettings& settings) {
  codec.max_b_frames = 0;
  codec.rc_max_rate = max_bit_rate(settings);
  codec.rc_buffer_size = static_cast<int>(codec.rc_max_rate);
  av_dict_set(options, "profile", "high", 0);
  av_dict_set(options, "preset", "veryfast", 0);
  av_dict_set(options, "crf", "23", 0);
}

}  // namespace

Result<std::unique_ptr<VideoWriter>> VideoWriter::open(const std::string& path,
                                                       const VideoSettings& settings) {
  // The encoders' chatter (settings, statistics) would fill the service's log at every recording.
  static std::once_flag quiet;
  std::call_once(quiet, [] { av_log_set_level(AV_LOG_ERROR); });
  const bool webm = settings.format == VideoFormat::kWebm;
  auto state = std::make_unique<State>();
  state->settings = settings;
  int rc = avformat_alloc_output_context2(&state->format, nullptr, webm ? "webm" : "mp4",
                                          path.c_str());
  if (rc < 0) return encoding_failure("no muxer", rc);
  const AVCodec* encoder = avcodec_find_encoder_by_name(webm ? "libvpx-vp9" : "libx264");
  if (encoder == nullptr) {
    return Failure{FailureKind::kInternal, std::string("cannot record the screen: no ") +
                                               (webm ? "VP9" : "H.264") +
                                               " encoder in this FFmpeg"};
  }
  state->stream = avformat_new_stream(state->format, nullptr);
  state->codec = avcodec_alloc_context3(encoder);
  state->packet = av_packet_alloc();
  state->held = av_packet_alloc();
  if (state->stream == nullptr || state->codec == nullptr || state->packet == nullptr ||
      state->held == nullptr) {
    return Failure{FailureKind::kInternal, "cannot record the screen: out of memory"};
  }

  AVCodecContext& codec = *state->codec;
  codec.width = settings.width;
  codec.height = settings.height;
  codec.time_base = AVRational{1, settings.fps};
  codec.framerate = AVRational{settings.fps, 1};
  codec.pix_fmt = AV_PIX_FMT_YUV420P;
  codec.gop_size = settings.fps * 2;
  codec.thread_count = encoder_threads();
  label_colours(codec.color_range, codec.colorspace, codec.color_primaries, codec.color_trc);
  if (state->format->oformat->flags & AVFMT_GLOBALHEADER) {
    codec.flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  }
  AVDictionary* options = nullptr;
  if (webm) {
    set_vp9_options(codec, &options, settings);
  } else {
    set_h264_options(codec, &options, settings);
  }
  rc = avcodec_open2(&codec, encoder, &options);
  av_dict_free(&options);
  if (rc < 0) return encoding_failure("cannot start the encoder", rc);

  rc = avcodec_parameters_from_context(state->stream->codecpar, &codec);
  if (rc < 0) return encoding_failure("cannot describe the stream", rc);
  state->stream->time_base = codec.time_base;
  state->stream->avg_frame_rate = codec.framerate;

  rc = avio_open(&state->format->pb, path.c_str(), AVIO_FLAG_WRITE);
  if (rc < 0) return encoding_failure("cannot create " + path, rc);
  AVDictionary* muxer_options = nullptr;
  // The index goes in front, so players can start before the whole file has arrived.
  if (!webm) av_dict_set(&muxer_options, "movflags", "+faststart", 0);
  rc = avformat_write_header(state->format, &muxer_options);
  av_dict_free(&muxer_options);
  if (rc < 0) return encoding_failure("cannot write the file header", rc);
  return std::unique_ptr<VideoWriter>(new VideoWriter(std::move(state)));
}

VideoWriter::VideoWriter(std::unique_ptr<State> state) : state_(std::move(state)) {}
VideoWriter::~VideoWriter() = default;

Result<FramePtr> VideoWriter::make_frame() const {
  FramePtr frame(av_frame_alloc());
  if (!frame) return Failure{FailureKind::kInternal, "cannot record the screen: out of memory"};
  frame->format = AV_PIX_FMT_YUV420P;
  frame->width = state_->settings.width;
  frame->height = state_->settings.height;
  label_colours(frame->color_range, frame->colorspace, frame->color_primaries, frame->color_trc);
  const int rc = av_frame_get_buffer(frame.get(), 0);
  if (rc < 0) return encoding_failure("cannot allocate a frame", rc);
  return frame;
}

namespace {

std::optional<Failure> mux(VideoWriter::State& state, AVPacket& packet) {
  av_packet_rescale_ts(&packet, state.codec->time_base, state.stream->time_base);
  packet.stream_index = state.stream->index;
  const int rc = av_interleaved_write_frame(state.format, &packet);
  if (rc < 0) return encoding_failure("cannot write to the file", rc);
  ++state.frames_written;
  return std::nullopt;
}

// Moves every packet the encoder has ready into the file, holding back the newest.
std::optional<Failure> drain(VideoWriter::State& state) {
  for (;;) {
    const int rc = avcodec_receive_packet(state.codec, state.packet);
    if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF) return std::nullopt;
    if (rc < 0) return encoding_failure("cannot encode a frame", rc);
    if (state.has_held) {
      state.held->duration = state.packet->pts - state.held->pts;
      if (auto failure = mux(state, *state.held)) return failure;
    }
    av_packet_unref(state.held);
    av_packet_move_ref(state.held, state.packet);
    state.has_held = true;
  }
}

}  // namespace

std::optional<Failure> VideoWriter::write(AVFrame& frame, std::int64_t tick) {
  frame.pts = tick;
  const int rc = avcodec_send_frame(state_->codec, &frame);
  if (rc < 0) return encoding_failure("cannot encode a frame", rc);
  return drain(*state_);
}

std::optional<Failure> VideoWriter::finish(std::int64_t end_tick) {
  State& state = *state_;
  const int rc = avcodec_send_frame(state.codec, nullptr);
  if (rc < 0) return encoding_failure("cannot finish encoding", rc);
  if (auto failure = drain(state)) return failure;
  if (state.has_held) {
    state.held->duration = std::max<std::int64_t>(1, end_tick - state.held->pts);
    if (auto failure = mux(state, *state.held)) return failure;
    state.has_held = false;
  }
  const int trailer = av_write_trailer(state.format);
  if (trailer < 0) return encoding_failure("cannot complete the file", trailer);
  const int closed = avio_closep(&state.format->pb);
  if (closed < 0) return encoding_failure("cannot complete the file", closed);
  return std::nullopt;
}

std::int64_t VideoWriter::frames_written() const { return state_->frames_written; }

}  // namespace app
