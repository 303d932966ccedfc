#include "app/screen/screen_recorder.h"

extern "C" {
#include <libavutil/frame.h>
}

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "app/screen/pixel_scaler.h"

namespace app {
namespace {

// Frames between grabbing and encoding: at 30 a second, a quarter of a second for the encoder to
// catch up after a hiccup before frames are dropped. About 3 MB each at 1920x1080.
constexpr int kFramesInFlight = 8;

// A value from the request shown inside a refusal; a long one is not echoed back.
std::string shown(const JsonValue& value) {
  std::string text = json_text(value);
  return text.size() <= 40 ? " " + text : "";
}

Failure bad_format(const JsonValue& format) {
  return {400, "unknown format" + shown(format) + ": use \"webm\" or \"mp4\" (null for webm)"};
}

Failure bad_secs(const JsonValue& secs) {
  return {400, "secs must be a whole number from 1 to " + std::to_string(kMaxRecordingSecs) +
                   " (null for " + std::to_string(kDefaultRecordingSecs) + "), not" +
                   shown(secs)};
}

// A file in the temporary folder that is removed again when this goes.
class TemporaryFile {
 public:
  static Result<TemporaryFile> create(const std::string& suffix) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) folder = "/tmp";
    std::string path = (folder / ("tirvane-recording-XXXXXX" + suffix)).string();
    const int fd = mkstemps(path.data(), static_cast<int>(suffix.size()));
    if (fd < 0) {
      return Failure{500, "cannot record the screen: cannot create a temporary file in " +
                              folder.string()};
    }
    ::close(fd);
    return TemporaryFile(std::move(path));
  }
  TemporaryFile(TemporaryFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

Result<std::string> read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  std::string bytes;
  if (in && !error) {
    bytes.resize(size);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
  }
  if (!in || error) return Failure{500, "cannot record the screen: cannot read back " + path};
  return bytes;
}

// Hands frames from the capture thread, which fills them, to the encoder, which empties them.
// The set is fixed: an encoder that falls behind shows as no empty frame at hand (a dropped
// frame), never as growing memory or a capture that waits.
class FrameExchange {
 public:
  void put_empty(FramePtr frame) {
    std::lock_guard lock(mutex_);
    empty_.push_back(std::move(frame));
  }
  // An empty frame, or null when the encoder holds them all.
  FramePtr take_empty() {
    std::lock_guard lock(mutex_);
    if (empty_.empty()) return nullptr;
    FramePtr frame = std::move(empty_.back());
    empty_.pop_back();
    return frame;
  }
  void put_filled(FramePtr frame) {
    {
      std::lock_guard lock(mutex_);
      filled_.push_back(std::move(frame));
    }
    changed_.notify_one();
  }
  // The oldest filled frame; waits for one, and gives null once the capture side has closed
  // and every frame has been taken.
  FramePtr take_filled() {
    std::unique_lock lock(mutex_);
    changed_.wait(lock, [this] { return closed_ || !filled_.empty(); });
    if (filled_.empty()) return nullptr;
    FramePtr frame = std::move(filled_.front());
    filled_.pop_front();
    return frame;
  }
  void close() {
    {
      std::lock_guard lock(mutex_);
      closed_ = true;
    }
    changed_.notify_one();
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<FramePtr> empty_;
  std::deque<FramePtr> filled_;
  bool closed_ = false;
};

struct CaptureCounts {
  std::int64_t dropped = 0;
  std::optional<Failure> failure;
};

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
void capture_frames(std::stop_token stop, FrameFeed& feed, FrameExchange& exchange,
                    VideoSize size, std::int64_t ticks, CaptureCounts& counts) {
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
    auto grabbed = feed.next_frame();
    if (failed(grabbed)) {
      failure = std::get<Failure>(grabbed);
    } else if (av_frame_make_writable(frame.get()) < 0) {
      failure = Failure{500, "cannot record the screen: out of memory"};
    } else {
      failure = converter.to_video_frame(video_part(std::get<PixelView>(grabbed), size), *frame);
    }
    if (failure) {
      counts.failure = std::move(failure);
      exchange.put_empty(std::move(frame));
      break;
    }
    frame->pts = tick;
    exchange.put_filled(std::move(frame));
  }
  exchange.close();
}

}  // namespace

Result<RecordingRequest> read_recording_request(const JsonValue& body) {
  if (!body.is_object()) {
    return Failure{400, "the recording request must be a JSON object with format and secs"};
  }
  RecordingRequest request;
  const JsonValue& format = member(body, "format");
  if (format == "mp4") {
    request.format = VideoFormat::kMp4;
  } else if (!format.is_null() && format != "webm") {
    return bad_format(format);
  }
  const JsonValue& secs = member(body, "secs");
  if (secs.is_null()) return request;
  double value = 0;
  if (secs.is_number_unsigned()) {
    value = static_cast<double>(std::min<std::uint64_t>(secs.get<std::uint64_t>(), 1u << 20));
  } else if (secs.is_number()) {
    value = secs.get<double>();
  } else {
    return bad_secs(secs);
  }
  if (!(value >= 1 && value <= kMaxRecordingSecs) || std::floor(value) != value) {
    return bad_secs(secs);
  }
  request.secs = static_cast<int>(value);
  return request;
}

VideoSize recording_size(int screen_width, int screen_height) {
  const auto even = [](double length) { return std::max(2, static_cast<int>(length) / 2 * 2); };
  const VideoSize cut{even(screen_width), even(screen_height)};
  const double pixels = static_cast<double>(cut.width) * cut.height;
  if (pixels <= kMaxRecordingPixels) return cut;
  const double scale = std::sqrt(kMaxRecordingPixels / pixels);
  return {even(cut.width * scale), even(cut.height * scale)};
}

X11ScreenRecorder::X11ScreenRecorder(DisplayEnvironment environment)
    : environment_(std::move(environment)) {}

Result<Recording> X11ScreenRecorder::record(const JsonValue& body) {
  auto read = read_recording_request(body);
  if (failed(read)) return std::get<Failure>(read);
  const RecordingRequest request = std::get<RecordingRequest>(read);

  bool idle = false;
  if (!running_.compare_exchange_strong(idle, true)) {
    return Failure{409, "a screen recording is already running; try again when it has finished"};
  }
  struct Release {
    std::atomic<bool>& running;
    ~Release() { running = false; }
  } release{running_};

  auto opened = X11Screen::open(environment_);
  if (failed(opened)) return std::get<Failure>(opened);
  X11Screen& screen = *std::get<std::unique_ptr<X11Screen>>(opened);
  struct X11Feed final : FrameFeed {
    X11Screen& screen;
    explicit X11Feed(X11Screen& s) : screen(s) {}
    Result<PixelView> next_frame() override { return screen.grab(); }
  } feed(screen);

  auto recorded = record_feed(request, screen.width(), screen.height(), feed);
  if (failed(recorded)) return recorded;
  if (screen.is_xwayland()) {
    std::get<Recording>(recorded).headers.emplace_back(
        "X-Screen-Warning", "XWayland shows only X11 windows; Wayland windows come out black");
  }
  return recorded;
}

Result<Recording> record_feed(const RecordingRequest& request, int screen_width, int screen_height,
                              FrameFeed& feed) {
  const bool mp4 = request.format == VideoFormat::kMp4;
  auto file = TemporaryFile::create(mp4 ? ".mp4" : ".webm");
  if (failed(file)) return std::get<Failure>(file);
  const std::string& path = std::get<TemporaryFile>(file).path();
  const VideoSize size = recording_size(screen_width, screen_height);
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
  std::optional<Failure> encoding_failure;
  {
    std::jthread capture(capture_frames, std::ref(feed), std::ref(exchange), size, ticks,
                         std::ref(counts));
    while (FramePtr frame = exchange.take_filled()) {
      if (!encoding_failure) {
        encoding_failure = writer.write(*frame, frame->pts);
        if (encoding_failure) capture.request_stop();
      }
      exchange.put_empty(std::move(frame));
    }
  }
  if (counts.failure) return *counts.failure;
  if (encoding_failure) return *encoding_failure;
  if (auto failure = writer.finish(ticks)) return *failure;

  auto bytes = read_whole_file(path);
  if (failed(bytes)) return std::get<Failure>(bytes);
  return Recording{std::move(std::get<std::string>(bytes)), mp4 ? "video/mp4" : "video/webm",
                   {{"X-Frames-Recorded", std::to_string(writer.frames_written())},
                    {"X-Frames-Dropped", std::to_string(counts.dropped)},
                    {"X-Frame-Rate", std::to_string(kRecordingFps)}}};
}

}  // namespace app
