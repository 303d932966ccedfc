#include "app/screen/screen_recorder.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <algorithm>
#include <chrono>
#include <cmath>
#include <thread>
#include <utility>
#include <vector>

#include "app/client_watch.h"
#include "app/pixel_scaler.h"
#include "app/screen/frame_exchange.h"
#include "app/screen/temporary_file.h"

namespace app {
namespace {

// Frames between grabbing and encoding: at 30 a second, a quarter of a second for the encoder to
// catch up after a hiccup before frames are dropped. About 3 MB each at 1920x1080.
constexpr int kFramesInFlight = 8;

struct CaptureCounts {
  std::int64_t dropped = 0;
  std::int64_t ticks = 0;  // how far the recording got: all it was asked for unless stopped
  std::optional<Failure> failure;
};

// The first, middle and last pictures grabbed, copied: they become the stills of the recording.
struct StillGrabs {
  Image first;
  Image middle;
  Image last;
};

// Copies `view` into `image`, whose buffer is reused when it has the size already.
void copy_into(Image& image, const PixelView& view) {
  if (image.width != view.width || image.height != view.height || image.format != view.format) {
    image = make_image(view.width, view.height, view.format);
  }
  const std::size_t row = static_cast<std::size_t>(view.width) * bytes_per_pixel(view.format);
  for (int y = 0; y < view.height; ++y) {
    std::copy_n(view.pixels + static_cast<std::size_t>(y) * view.stride, row,
                image.pixels.data() + static_cast<std::size_t>(y) * image.stride);
  }
}

// The stills as JPEGs (first, middle, last), or none when a picture is missing.
std::vector<std::string> encode_stills(const StillGrabs& grabs) {
  std::vector<std::string> stills;
  for (const Image* image : {&grabs.first, &grabs.middle, &grabs.last}) {
    if (image->pixels.empty()) return {};
    auto jpeg = encode_jpeg(view_of(*image));
    if (failed(jpeg)) return {};
    stills.push_back(std::move(std::get<std::string>(jpeg)));
  }
  return stills;
}

// The part of a grab that goes into the video: the whole screen when it must be scaled, else the
// screen cut to the video's even size.
PixelView video_part(PixelView grab, const VideoSize& size) {
  if (grab.width - size.width <= 1 && grab.height - size.height <= 1) {
    grab.width = std::min(grab.width, size.width);
    grab.height = std::min(grab.height, size.height);
  }
  return grab;
}

// Grabs tick after tick, each at its moment on the clock, until `ticks` have passed. A tick whose
// moment is gone by the time the previous frame is done, or that finds no empty frame, is dropped
// and counted. Closes the exchange when done.
void capture_frames(std::stop_token stop, FrameSource& screen, FrameExchange& exchange,
                    VideoSize size, std::int64_t ticks, CaptureCounts& counts, StillGrabs& stills) {
  using Clock = std::chrono::steady_clock;
  PixelScaler converter;
  const Clock::time_point start = Clock::now();
  const auto moment = [start](std::int64_t tick) {
    return start + std::chrono::nanoseconds(tick * 1'000'000'000 / kRecordingFps);
  };
  for (std::int64_t tick = 0; tick < ticks && !stop.stop_requested(); ++tick) {
    std::this_thread::sleep_until(moment(tick));
    const std::int64_t nanoseconds =
        std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - start).count();
    const std::int64_t current = std::min(ticks, nanoseconds * kRecordingFps / 1'000'000'000);
    if (current > tick) {
      counts.dropped += current - tick;
      tick = current;
      if (tick == ticks) break;
    }
    FramePtr frame = exchange.take_empty();
    if (!frame) {
      ++counts.dropped;
      continue;
    }
    std::optional<Failure> failure;
    auto grabbed = screen.newest_frame();
    if (failed(grabbed)) {
      failure = std::get<Failure>(grabbed);
    } else if (av_frame_make_writable(frame.get()) < 0) {
      failure = Failure{FailureKind::kInternal, "cannot record the screen: out of memory"};
    } else {
      const PixelView& grab = std::get<PixelView>(grabbed);
      failure = converter.to_video_frame(video_part(grab, size), *frame);
      if (stills.first.pixels.empty()) copy_into(stills.first, grab);
      if (stills.middle.pixels.empty() && tick >= ticks / 2) copy_into(stills.middle, grab);
      // The last picture is only known once grabbing ends, and a source's view need not outlive
      // the stream: every picture of the last half second is copied, each over the one before.
      if (tick >= ticks - kRecordingFps / 2) copy_into(stills.last, grab);
    }
    if (failure) {
      counts.failure = std::move(failure);
      exchange.put_empty(std::move(frame));
      break;
    }
    frame->pts = tick;
    exchange.put_filled(std::move(frame));
    counts.ticks = tick + 1;
  }
  if (!stop.stop_requested() && !counts.failure) counts.ticks = ticks;
  exchange.close();
}

}  // namespace

VideoSize recording_size(int screen_width, int screen_height) {
  const auto even = [](double length) { return std::max(2, static_cast<int>(length) / 2 * 2); };
  const VideoSize cut{even(screen_width), even(screen_height)};
  const double pixels = static_cast<double>(cut.width) * cut.height;
  if (pixels <= kMaxRecordingPixels) return cut;
  const double scale = std::sqrt(kMaxRecordingPixels / pixels);
  return {even(cut.width * scale), even(cut.height * scale)};
}

ScreenVideoRecorder::ScreenVideoRecorder(DisplayEnvironment environment)
    : ScreenVideoRecorder(screen_frame_sources(std::move(environment))) {}

ScreenVideoRecorder::ScreenVideoRecorder(FrameSourceOpener open) : open_(std::move(open)) {}

ScreenVideoRecorder::ScreenVideoRecorder(FrameSourceOpener open,
                                         std::shared_ptr<ScreenConnection> screen)
    : open_(std::move(open)), screen_(std::move(screen)) {}

std::optional<ScreenStatus> ScreenVideoRecorder::screen_status() {
  if (!screen_) return std::nullopt;
  auto seen = screen_->look();
  if (failed(seen)) return ScreenStatus{"", "", {}, std::get<Failure>(seen).message};
  const ScreenState& state = std::get<ScreenState>(seen);
  ScreenStatus status{state.method, state.display, {}, ""};
  for (const ScreenOutput& output : state.outputs) {
    status.monitors.push_back(
        {"screen:" + output.name, output.width, output.height, output.primary});
  }
  return status;
}

Result<Recording> ScreenVideoRecorder::record(const RecordingRequest& request) {
  bool idle = false;
  if (!running_.compare_exchange_strong(idle, true)) {
    return Failure{FailureKind::kBusy,
                   "a screen recording is already running; try again when it has finished"};
  }
  struct Release {
    std::atomic<bool>& running;
    ~Release() { running = false; }
  } release{running_};

  if (stopping_.stop_requested()) {
    return Failure{FailureKind::kUnavailable, "the service is stopping"};
  }
  auto opened = open_();
  if (failed(opened)) return std::get<Failure>(opened);
  FrameSource& screen = *std::get<std::unique_ptr<FrameSource>>(opened);
  auto listed = screen.outputs();
  if (failed(listed)) return std::get<Failure>(listed);
  const auto& outputs = std::get<std::vector<ScreenOutput>>(listed);
  if (outputs.empty()) {
    return Failure{FailureKind::kUnavailable, "cannot record the screen: the display " +
                                                  screen.display_name() + " shows no output"};
  }
  // The primary (else the first) comes first; or the one asked for by name.
  const ScreenOutput* chosen = request.output.empty() ? &outputs.front() : nullptr;
  for (const ScreenOutput& candidate : outputs) {
    if (!request.output.empty() && candidate.name == request.output) chosen = &candidate;
  }
  if (chosen == nullptr) {
    return Failure{FailureKind::kNotFound, "no monitor named \"" + request.output +
                                               "\" on display " + screen.display_name()};
  }
  const ScreenOutput& output = *chosen;

  const bool mp4 = request.format == VideoFormat::kMp4;
  auto file = TemporaryFile::create(mp4 ? ".mp4" : ".webm");
  if (failed(file)) return std::get<Failure>(file);
  TemporaryFile& scratch = std::get<TemporaryFile>(file);
  const std::string path = scratch.path();
  const VideoSize size = recording_size(output.width, output.height);
  auto opened_writer =
      VideoWriter::open(path, {request.format, size.width, size.height, kRecordingFps});
  if (failed(opened_writer)) return std::get<Failure>(opened_writer);
  VideoWriter& writer = *std::get<std::unique_ptr<VideoWriter>>(opened_writer);

  FrameExchange exchange;
  for (int i = 0; i < kFramesInFlight; ++i) {
    auto frame = writer.make_frame();
    if (failed(frame)) return std::get<Failure>(frame);
    exchange.put_empty(std::move(std::get<FramePtr>(frame)));
  }

  const std::int64_t ticks = static_cast<std::int64_t>(request.secs) * kRecordingFps;
  CaptureCounts counts;
  StillGrabs grabs;
  std::optional<Failure> encoding_failure;
  bool abandoned = false;
  if (auto refused = screen.start_stream(output.name)) return *refused;
  struct StopStream {
    FrameSource& source;
    ~StopStream() { source.stop_stream(); }
  } stop_stream{screen};
  {
    std::jthread capture(capture_frames, std::ref(screen), std::ref(exchange), size, ticks,
                         std::ref(counts), std::ref(grabs));
    std::stop_callback stop_when_stopping(stopping_.get_token(),
                                          [&capture] { capture.request_stop(); });
    while (FramePtr frame = exchange.take_filled()) {
      // Nobody would receive the video: stop now and free the recorder for the next one.
      if (!abandoned && client_gone()) {
        abandoned = true;
        capture.request_stop();
      }
      if (!encoding_failure && !abandoned) {
        encoding_failure = writer.write(*frame, frame->pts);
        if (encoding_failure) capture.request_stop();
      }
      exchange.put_empty(std::move(frame));
    }
  }
  if (abandoned) return client_gone_failure();  // the partial file goes with its descriptor
  if (counts.failure) return *counts.failure;
  if (encoding_failure) return *encoding_failure;
  const bool cut = counts.ticks < ticks;
  if (auto failure = writer.finish(counts.ticks)) return *failure;

  const off_t length = ::lseek(scratch.fd(), 0, SEEK_END);
  if (length < 0) {
    return Failure{FailureKind::kInternal, "cannot record the screen: cannot read back the video"};
  }
  Recording recording{
      std::make_shared<const FileBody>(scratch.release(), static_cast<std::uint64_t>(length)),
      mp4 ? "video/mp4" : "video/webm",
      {{"X-Frames-Recorded", std::to_string(writer.frames_written())},
       {"X-Frames-Dropped", std::to_string(counts.dropped)},
       {"X-Frame-Rate", std::to_string(kRecordingFps)}},
      encode_stills(grabs)};
  if (cut) {
    recording.headers.emplace_back("X-Recording-Cut-Short",
                                   "the service is stopping: " +
                                       std::to_string(counts.ticks * 1000 / kRecordingFps) +
                                       " ms of " + std::to_string(request.secs * 1000) + " ms");
  }
  for (Header& warning : screen.warnings()) recording.headers.push_back(std::move(warning));
  return recording;
}

}  // namespace app
