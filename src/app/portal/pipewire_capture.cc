#include "app/portal/pipewire_capture.h"

#include <fcntl.h>
#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>

namespace app::portal {
namespace {

constexpr std::size_t kBytesPerPixel = 4;

void init_pipewire_once() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

// Pixels of one frame with tight rows.
struct Picture {
  std::vector<std::uint8_t> pixels;
  int width = 0;
  int height = 0;
};

struct Stream;

}  // namespace

struct PipeWireCapture::State {
  pw_thread_loop* loop = nullptr;
  pw_context* context = nullptr;
  pw_core* core = nullptr;
  pw_registry* registry = nullptr;
  spa_hook core_listener{};
  spa_hook registry_listener{};
  std::vector<std::unique_ptr<Stream>> streams;

  // Guards the pictures and states of every stream.
  mutable std::mutex mutex;
  std::condition_variable changed;
};

namespace {

struct Stream {
  PipeWireCapture::State* owner = nullptr;
  std::uint32_t node = 0;
  pw_stream* stream = nullptr;
  spa_hook listener{};
  // Written on PipeWire's thread only.
  spa_video_format format = SPA_VIDEO_FORMAT_UNKNOWN;
  int width = 0;
  int height = 0;
  Picture spare;
  // Under the owner's mutex.
  Picture latest;
  bool fresh = false;
  bool any = false;
  std::uint64_t received = 0;
  std::optional<std::string> stopped;
  // The reader's own.
  Picture reading;
};

void mark_stopped(Stream& stream, std::string why) {
  {
    std::lock_guard lock(stream.owner->mutex);
    if (!stream.stopped) stream.stopped = std::move(why);
  }
  stream.owner->changed.notify_all();
}

// Copies one frame's rows into tight BGRX rows, swapping red and blue when the stream is RGB.
bool copy_frame(const Stream& stream, const spa_data& data, Picture& into) {
  if (!data.data || !data.chunk || data.chunk->size == 0 ||
      (data.chunk->flags & static_cast<std::int32_t>(SPA_CHUNK_FLAG_CORRUPTED)) != 0) {
    return false;
  }
  const std::size_t row = static_cast<std::size_t>(stream.width) * kBytesPerPixel;
  const std::size_t stride =
      data.chunk->stride > 0 ? static_cast<std::size_t>(data.chunk->stride) : row;
  const std::size_t offset = data.chunk->offset;
  const std::size_t rows = static_cast<std::size_t>(stream.height);
  if (rows == 0 || stride < row || offset + stride * (rows - 1) + row > data.maxsize) return false;

  into.width = stream.width;
  into.height = stream.height;
  into.pixels.resize(row * rows);
  const auto* source = static_cast<const std::uint8_t*>(data.data) + offset;
  const bool swap = stream.format == SPA_VIDEO_FORMAT_RGBx || stream.format == SPA_VIDEO_FORMAT_RGBA;
  for (std::size_t y = 0; y < rows; ++y) {
    const std::uint8_t* in = source + y * stride;
    std::uint8_t* out = into.pixels.data() + y * row;
    if (!swap) {
      std::memcpy(out, in, row);
      continue;
    }
    for (std::size_t x = 0; x < row; x += 4) {
      out[x] = in[x + 2];
      out[x + 1] = in[x + 1];
      out[x + 2] = in[x];
      out[x + 3] = in[x + 3];
    }
  }
  return true;
}

void on_process(void* userdata) {
  auto& stream = *static_cast<Stream*>(userdata);
  // Only the newest buffer is of interest; older ones go straight back.
  pw_buffer* newest = nullptr;
  while (pw_buffer* next = pw_stream_dequeue_buffer(stream.stream)) {
    if (newest) pw_stream_queue_buffer(stream.stream, newest);
    newest = next;
  }
  if (!newest) return;
  spa_buffer* buffer = newest->buffer;
  const auto* header = static_cast<const spa_meta_header*>(
      spa_buffer_find_meta_data(buffer, SPA_META_Header, sizeof(spa_meta_header)));
  const bool corrupted = header && (header->flags & SPA_META_HEADER_FLAG_CORRUPTED);
  const bool copied = !corrupted && buffer->n_datas > 0 && stream.width > 0 &&
                      copy_frame(stream, buffer->datas[0], stream.spare);
  pw_stream_queue_buffer(stream.stream, newest);
  if (!copied) return;
  {
    std::lock_guard lock(stream.owner->mutex);
    std::swap(stream.spare, stream.latest);
    stream.fresh = true;
    stream.any = true;
    ++stream.received;
  }
  stream.owner->changed.notify_all();
}

void on_param_changed(void* userdata, std::uint32_t id, const spa_pod* param) {
  auto& stream = *static_cast<Stream*>(userdata);
  if (!param || id != SPA_PARAM_Format) return;
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(param, &info) < 0) return;
  stream.format = info.format;
  stream.width = static_cast<int>(info.size.width);
  stream.height = static_cast<int>(info.size.height);

  // Shared memory only, and a header to learn of corrupted frames.
  std::uint8_t storage[512];
  spa_pod_builder builder{};
  spa_pod_builder_init(&builder, storage, sizeof storage);
  spa_pod_frame object{}, choice{};
  spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_buffers, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_int(&builder, 4);
  spa_pod_builder_int(&builder, 2);
  spa_pod_builder_int(&builder, 16);
  spa_pod_builder_pop(&builder, &choice);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_blocks, 0);
  spa_pod_builder_int(&builder, 1);
  spa_pod_builder_prop(&builder, SPA_PARAM_BUFFERS_dataType, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Flags, 0);
  spa_pod_builder_int(&builder, (1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr));
  spa_pod_builder_pop(&builder, &choice);
  const auto* buffers = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));

  spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta);
  spa_pod_builder_prop(&builder, SPA_PARAM_META_type, 0);
  spa_pod_builder_id(&builder, SPA_META_Header);
  spa_pod_builder_prop(&builder, SPA_PARAM_META_size, 0);
  spa_pod_builder_int(&builder, static_cast<std::int32_t>(sizeof(spa_meta_header)));
  const auto* meta = static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));

  const spa_pod* params[] = {buffers, meta};
  pw_stream_update_params(stream.stream, params, 2);
}

void on_state_changed(void* userdata, pw_stream_state, pw_stream_state state, const char* error) {
  auto& stream = *static_cast<Stream*>(userdata);
  if (state == PW_STREAM_STATE_ERROR) {
    mark_stopped(stream, std::string("PipeWire stopped the stream: ") + (error ? error : "error"));
  } else if (state == PW_STREAM_STATE_UNCONNECTED) {
    mark_stopped(stream, "PipeWire disconnected the stream");
  }
}

const pw_stream_events kStreamEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .destroy = nullptr,
    .state_changed = on_state_changed,
    .control_info = nullptr,
    .io_changed = nullptr,
    .param_changed = on_param_changed,
    .add_buffer = nullptr,
    .remove_buffer = nullptr,
    .process = on_process,
    .drained = nullptr,
    .command = nullptr,
    .trigger_done = nullptr,
};

void on_global_remove(void* userdata, std::uint32_t id) {
  auto& state = *static_cast<PipeWireCapture::State*>(userdata);
  for (auto& stream : state.streams) {
    if (stream->node == id) mark_stopped(*stream, "the desktop stopped sharing this monitor");
  }
}

const pw_registry_events kRegistryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS,
    .global = nullptr,
    .global_remove = on_global_remove,
};

void on_core_error(void* userdata, std::uint32_t id, int, int res, const char* message) {
  auto& state = *static_cast<PipeWireCapture::State*>(userdata);
  if (id != PW_ID_CORE || res != -EPIPE) return;
  for (auto& stream : state.streams) {
    mark_stopped(*stream, std::string("the PipeWire connection broke: ") +
                              (message ? message : "connection closed"));
  }
}

pw_core_events core_events() {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = on_core_error;
  return events;
}
const pw_core_events kCoreEvents = core_events();

// The formats this side takes: 32-bit BGR or RGB, any size and rate.
const spa_pod* enum_format(spa_pod_builder& builder) {
  spa_pod_frame object{}, choice{};
  spa_pod_builder_push_object(&builder, &object, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat);
  spa_pod_builder_prop(&builder, SPA_FORMAT_mediaType, 0);
  spa_pod_builder_id(&builder, SPA_MEDIA_TYPE_video);
  spa_pod_builder_prop(&builder, SPA_FORMAT_mediaSubtype, 0);
  spa_pod_builder_id(&builder, SPA_MEDIA_SUBTYPE_raw);
  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_format, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Enum, 0);
  spa_pod_builder_id(&builder, SPA_VIDEO_FORMAT_BGRx);
  for (auto format : {SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA, SPA_VIDEO_FORMAT_RGBx,
                      SPA_VIDEO_FORMAT_RGBA}) {
    spa_pod_builder_id(&builder, format);
  }
  spa_pod_builder_pop(&builder, &choice);
  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_size, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_rectangle(&builder, 1920, 1080);
  spa_pod_builder_rectangle(&builder, 1, 1);
  spa_pod_builder_rectangle(&builder, 16384, 16384);
  spa_pod_builder_pop(&builder, &choice);
  spa_pod_builder_prop(&builder, SPA_FORMAT_VIDEO_framerate, 0);
  spa_pod_builder_push_choice(&builder, &choice, SPA_CHOICE_Range, 0);
  spa_pod_builder_fraction(&builder, 30, 1);
  spa_pod_builder_fraction(&builder, 0, 1);
  spa_pod_builder_fraction(&builder, 1000, 1);
  spa_pod_builder_pop(&builder, &choice);
  return static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &object));
}

Failure refused(std::string why) { return Failure{FailureKind::kUnavailable, "cannot receive the screen through PipeWire: " + std::move(why)}; }

}  // namespace

PipeWireCapture::PipeWireCapture(std::unique_ptr<State> state) : state_(std::move(state)) {}

PipeWireCapture::~PipeWireCapture() {
  if (!state_->loop) return;
  pw_thread_loop_stop(state_->loop);
  for (auto& stream : state_->streams) {
    if (stream->stream) pw_stream_destroy(stream->stream);
  }
  if (state_->registry) pw_proxy_destroy(reinterpret_cast<pw_proxy*>(state_->registry));
  if (state_->core) pw_core_disconnect(state_->core);
  if (state_->context) pw_context_destroy(state_->context);
  pw_thread_loop_destroy(state_->loop);
}

Result<std::unique_ptr<PipeWireCapture>> PipeWireCapture::connect(
    int fd, const std::vector<std::uint32_t>& nodes) {
  init_pipewire_once();
  auto state = std::make_unique<State>();
  std::unique_ptr<PipeWireCapture> capture(new PipeWireCapture(std::move(state)));
  State& s = *capture->state_;
  s.loop = pw_thread_loop_new("tirvane-screen", nullptr);
  if (!s.loop) return refused("cannot make its thread");
  s.context = pw_context_new(pw_thread_loop_get_loop(s.loop), nullptr, 0);
  if (!s.context) return refused("cannot make its context");
  if (pw_thread_loop_start(s.loop) < 0) return refused("cannot start its thread");

  pw_thread_loop_lock(s.loop);
  const int own_fd = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  s.core = own_fd >= 0 ? pw_context_connect_fd(s.context, own_fd, nullptr, 0) : nullptr;
  if (!s.core) {
    pw_thread_loop_unlock(s.loop);
    return refused("the connection the portal handed out does not answer");
  }
  pw_core_add_listener(s.core, &s.core_listener, &kCoreEvents, &s);
  s.registry = pw_core_get_registry(s.core, PW_VERSION_REGISTRY, 0);
  if (s.registry) pw_registry_add_listener(s.registry, &s.registry_listener, &kRegistryEvents, &s);

  for (std::uint32_t node : nodes) {
    auto stream = std::make_unique<Stream>();
    stream->owner = &s;
    stream->node = node;
    stream->stream = pw_stream_new(
        s.core, "tirvane-screen",
        pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                          PW_KEY_MEDIA_ROLE, "Screen", nullptr));
    if (!stream->stream) {
      pw_thread_loop_unlock(s.loop);
      return refused("cannot make a stream");
    }
    pw_stream_add_listener(stream->stream, &stream->listener, &kStreamEvents, stream.get());
    std::uint8_t storage[1024];
    spa_pod_builder builder{};
    spa_pod_builder_init(&builder, storage, sizeof storage);
    const spa_pod* params[] = {enum_format(builder)};
    const int r = pw_stream_connect(
        stream->stream, PW_DIRECTION_INPUT, node,
        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS),
        params, 1);
    s.streams.push_back(std::move(stream));
    if (r < 0) {
      pw_thread_loop_unlock(s.loop);
      return refused(std::string("cannot connect to the monitor's stream: ") + std::strerror(-r));
    }
  }
  pw_thread_loop_unlock(s.loop);
  return capture;
}

namespace {

// Waits up to `wait` for the first frame of `stream`, under `lock`: nothing once there is one,
// else why there is none.
std::optional<Failure> await_first_frame(PipeWireCapture::State& state, Stream& stream,
                                         std::unique_lock<std::mutex>& lock,
                                         std::chrono::milliseconds wait) {
  state.changed.wait_for(lock, wait, [&] { return stream.stopped || stream.any; });
  if (stream.stopped) return Failure{FailureKind::kUnavailable, "the screen stream stopped: " + *stream.stopped};
  if (!stream.any) {
    return Failure{FailureKind::kUnavailable, "the desktop sent no picture of the screen within " +
                            std::to_string(wait.count()) + " ms"};
  }
  return std::nullopt;
}

PixelView view_of(const Picture& picture) {
  return PixelView{picture.pixels.data(), picture.width, picture.height,
                   static_cast<std::size_t>(picture.width) * kBytesPerPixel, PixelFormat::kBgrx};
}

}  // namespace

std::optional<Failure> PipeWireCapture::peek(std::size_t index, std::chrono::milliseconds wait,
                                             const std::function<void(const PixelView&)>& use) {
  if (index >= state_->streams.size()) return Failure{FailureKind::kNotFound, "no such screen stream"};
  Stream& stream = *state_->streams[index];
  std::unique_lock lock(state_->mutex);
  if (auto failure = await_first_frame(*state_, stream, lock, wait)) return failure;
  // The reader's picture may be read beside it; it is swapped only under this lock.
  use(view_of(stream.fresh ? stream.latest : stream.reading));
  return std::nullopt;
}

Result<PixelView> PipeWireCapture::newest(std::size_t index, std::chrono::milliseconds wait) {
  if (index >= state_->streams.size()) return Failure{FailureKind::kNotFound, "no such screen stream"};
  Stream& stream = *state_->streams[index];
  std::unique_lock lock(state_->mutex);
  if (auto failure = await_first_frame(*state_, stream, lock, wait)) return *failure;
  if (stream.fresh) {
    std::swap(stream.latest, stream.reading);
    stream.fresh = false;
  }
  return view_of(stream.reading);
}

std::uint64_t PipeWireCapture::frames_received(std::size_t index) const {
  std::lock_guard lock(state_->mutex);
  return index < state_->streams.size() ? state_->streams[index]->received : 0;
}

std::optional<std::string> PipeWireCapture::stopped(std::size_t index) const {
  std::lock_guard lock(state_->mutex);
  if (index >= state_->streams.size()) return std::string("no such stream");
  return state_->streams[index]->stopped;
}

}  // namespace app::portal
