// A PipeWire video source with a known moving picture, standing in for a desktop's monitor:
// a solid background with a white bar, 32 pixels wide, that moves 4 pixels to the right each
// frame (wrapping round). BGRx in shared-memory buffers that PipeWire allocates.
//
//   video_source --name NAME --size WxH --fps N --colour RRGGBB [--bad-every N]
//
// Prints "node ID" once the node exists. With --bad-every N, every Nth frame is sent damaged
// (painted red, and alternately marked corrupted or given an empty chunk): a consumer must never
// show it.
#include <pipewire/pipewire.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kBarWidth = 32;
constexpr int kBarStep = 4;

struct Source {
  pw_main_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  spa_source* timer = nullptr;
  int width = 640;
  int height = 480;
  int fps = 30;
  std::uint32_t colour = 0x336699;
  int bad_every = 0;
  std::uint64_t frame = 0;
  bool announced = false;
};

void fill(Source& source, std::uint8_t* pixels, std::size_t stride, bool bad) {
  const int bar = static_cast<int>((source.frame * kBarStep) %
                                   static_cast<std::uint64_t>(source.width - kBarWidth));
  const std::uint32_t background = bad ? 0xff0000 : source.colour;
  for (int y = 0; y < source.height; ++y) {
    auto* row = reinterpret_cast<std::uint32_t*>(pixels + static_cast<std::size_t>(y) * stride);
    for (int x = 0; x < source.width; ++x) {
      // BGRx in memory is 0xXXRRGGBB as a little-endian 32-bit word.
      row[x] = (!bad && x >= bar && x < bar + kBarWidth) ? 0xffffffu : background;
    }
  }
}

void on_process(void* data) {
  auto& source = *static_cast<Source*>(data);
  pw_buffer* buffer = pw_stream_dequeue_buffer(source.stream);
  if (!buffer) return;
  spa_data& plane = buffer->buffer->datas[0];
  if (plane.data) {
    const std::size_t stride = static_cast<std::size_t>(source.width) * 4;
    const bool bad = source.bad_every > 0 && source.frame % static_cast<std::uint64_t>(source.bad_every) == 1;
    fill(source, static_cast<std::uint8_t*>(plane.data), stride, bad);
    plane.chunk->offset = 0;
    plane.chunk->stride = static_cast<std::int32_t>(stride);
    plane.chunk->size = static_cast<std::uint32_t>(stride * static_cast<std::size_t>(source.height));
    plane.chunk->flags = 0;
    if (bad && (source.frame / static_cast<std::uint64_t>(source.bad_every)) % 2 == 0) {
      plane.chunk->flags = SPA_CHUNK_FLAG_CORRUPTED;
    } else if (bad) {
      plane.chunk->size = 0;
    }
  }
  ++source.frame;
  pw_stream_queue_buffer(source.stream, buffer);
}

void on_timeout(void* data, std::uint64_t) {
  auto& source = *static_cast<Source*>(data);
  pw_stream_trigger_process(source.stream);
}

void on_state_changed(void* data, pw_stream_state, pw_stream_state state, const char* error) {
  auto& source = *static_cast<Source*>(data);
  if (state == PW_STREAM_STATE_ERROR) {
    std::fprintf(stderr, "video_source: %s\n", error ? error : "stream error");
    pw_main_loop_quit(source.loop);
    return;
  }
  if (!source.announced && (state == PW_STREAM_STATE_PAUSED || state == PW_STREAM_STATE_STREAMING)) {
    source.announced = true;
    std::printf("node %u\n", pw_stream_get_node_id(source.stream));
    std::fflush(stdout);
  }
  pw_loop* loop = pw_main_loop_get_loop(source.loop);
  if (state == PW_STREAM_STATE_STREAMING) {
    timespec first{0, 1}, interval{0, 1'000'000'000 / source.fps};
    pw_loop_update_timer(loop, source.timer, &first, &interval, false);
  } else {
    pw_loop_update_timer(loop, source.timer, nullptr, nullptr, false);
  }
}

void on_param_changed(void* data, std::uint32_t id, const spa_pod* param) {
  auto& source = *static_cast<Source*>(data);
  if (!param || id != SPA_PARAM_Format) return;
  std::uint8_t storage[256];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage, sizeof storage);
  spa_pod_frame object{}, choice{};
  const int stride = source.width * 4;
  spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_buffers, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_int(&builder, 4);
  spa_pod_builder_int(&builder, 2);
  spa_pod_builder_int(&builder, 8);
  spa_pod_builder_pop(&builder, &choice);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_blocks, 0);
  spa_pod_builder_int(&builder, 1);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_size, 0);
  spa_pod_builder_int(&builder, stride * source.height);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_stride, 0);
  spa_pod_builder_int(&builder, stride);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_dataType, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Flags, 0);
  spa_pod_builder_int(&builder, 1 << SPA_DATA_MemFd);
  spa_pod_builder_pop(&builder, &choice);
  const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object))};
  pw_stream_update_params(source.stream, params, 1);
}

pw_stream_events stream_events() {
  pw_stream_events events{};
  events.version = PW_VERSION_STREAM_EVENTS;
  events.state_changed = on_state_changed;
  events.param_changed = on_param_changed;
  events.process = on_process;
  return events;
}

void on_signal(void* data, int) { pw_main_loop_quit(static_cast<pw_main_loop*>(data)); }

}  // namespace

int main(int argc, char** argv) {
  Source source;
  std::string name = "tirvane-test-monitor";
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string key = argv[i];
    const std::string value = argv[i + 1];
    if (key == "--name") {
      name = value;
    } else if (key == "--size") {
      std::sscanf(value.c_str(), "%dx%d", &source.width, &source.height);
    } else if (key == "--fps") {
      source.fps = std::atoi(value.c_str());
    } else if (key == "--colour") {
      source.colour = static_cast<std::uint32_t>(std::strtoul(value.c_str(), nullptr, 16));
    } else if (key == "--bad-every") {
      source.bad_every = std::atoi(value.c_str());
    }
  }
  pw_init(&argc, &argv);
  source.loop = pw_main_loop_new(nullptr);
  pw_loop* loop = pw_main_loop_get_loop(source.loop);
  pw_loop_add_signal(loop, SIGINT, on_signal, source.loop);
  pw_loop_add_signal(loop, SIGTERM, on_signal, source.loop);
  source.timer = pw_loop_add_timer(loop, on_timeout, &source);

  static const pw_stream_events events = stream_events();
  source.stream = pw_stream_new_simple(
      loop, name.c_str(),
      pw_properties_new(PW_KEY_MEDIA_CLASS, "Video/Source", PW_KEY_NODE_NAME, name.c_str(),
                        PW_KEY_MEDIA_ROLE, "Screen", nullptr),
      &events, &source);

  std::uint8_t storage[512];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage, sizeof storage);
  spa_pod_frame object{};
  spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
  spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_id(&builder, SPA_VIDEO_FORMAT_BGRx);
  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
  spa_pod_builder_rectangle(&builder, static_cast<std::uint32_t>(source.width),
                            static_cast<std::uint32_t>(source.height));
  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
  spa_pod_builder_fraction(&builder, static_cast<std::uint32_t>(source.fps), 1);
  const spa_pod* params[] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object))};
  pw_stream_connect(source.stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                    static_cast<pw_stream_flags>(PW_STREAM_FLAG_DRIVER | PW_STREAM_FLAG_MAP_BUFFERS),
                    params, 1);
  pw_main_loop_run(source.loop);
  pw_stream_destroy(source.stream);
  pw_main_loop_destroy(source.loop);
  pw_deinit();
  return 0;
}
