#include "app/v4l2/v4l2_camera.h"

#include <linux/videodev2.h>

#include "app/frame_fit.h"
#include "app/v4l2/controls.h"
#include "app/v4l2/mjpeg.h"
#include "app/v4l2/raw_frame.h"

namespace app::v4l2 {
namespace {

// Frames that fail to decode in a row before the camera is called broken.
constexpr int kMaxBadFrames = 5;
// How soon an idle camera is looked at again when a request was still running.
constexpr auto kBusyRetry = std::chrono::milliseconds(20);

std::string size_text(FrameSize size) {
  return std::to_string(size.width) + "x" + std::to_string(size.height);
}

std::string asked_text(const FrameRequest& request) {
  return (request.width ? std::to_string(*request.width) : "*") + "x" +
         (request.height ? std::to_string(*request.height) : "*");
}

bool size_differs(const FrameRequest& request, FrameSize size) {
  return (request.width && *request.width != size.width) ||
         (request.height && *request.height != size.height);
}

RawFrame raw_frame(const StreamFormat& format, std::string_view bytes) {
  return RawFrame{format.fourcc, format.size.width, format.size.height, format.stride,
                  format.limited_range, bytes};
}

int gray_reduction(int width, int min_width) {
  int reduce = 1;
  while (reduce < 8 && width / (reduce * 2) >= min_width) reduce *= 2;
  return reduce;
}

}  // namespace

V4l2Camera::V4l2Camera(std::shared_ptr<DeviceLayer> layer, CameraRef camera, DeviceInfo info,
                       CameraOptions options)
    : layer_(std::move(layer)),
      camera_(std::move(camera)),
      options_(options),
      info_(std::move(info)),
      closer_([this](std::stop_token stop) { close_when_idle(stop); }) {}

V4l2Camera::~V4l2Camera() {
  closer_.request_stop();
  closer_.join();
}

DeviceInfo V4l2Camera::describe() const { return info_; }

bool V4l2Camera::in_use() const {
  std::lock_guard lock(session_mutex_);
  return session_ != nullptr;
}

void V4l2Camera::close_when_idle(std::stop_token stop) {
  std::unique_lock lock(session_mutex_);
  while (!stop.stop_requested()) {
    if (!session_) {
      session_opened_.wait(lock, stop, [this] { return session_ != nullptr; });
      continue;
    }
    const auto deadline = last_use_ + options_.idle_close;
    if (std::chrono::steady_clock::now() >= deadline) {
      // Not in the middle of a call, nor of a focus sweep, which holds the device's lock for
      // the whole of it. Tried, never waited for: a call takes the session lock while it holds
      // the device's.
      std::unique_lock request(device_mutex(), std::try_to_lock);
      if (request.owns_lock()) {
        session_.reset();
        continue;
      }
      session_opened_.wait_for(lock, stop, kBusyRetry, [] { return false; });
      continue;
    }
    // Sleeps to the deadline; a request in between moves it, which the next round sees.
    session_opened_.wait_until(lock, stop, deadline, [] { return false; });
  }
}

template <class T, class Operation>
Result<T> V4l2Camera::with_session(Operation&& operation) {
  std::lock_guard lock(session_mutex_);
  if (!session_) {
    auto opened = CaptureSession::open(layer_, camera_);
    if (failed(opened)) return std::get<Failure>(opened);
    session_ = std::move(std::get<std::unique_ptr<CaptureSession>>(opened));
    stale_ = false;
  }
  Result<T> result = operation(*session_);
  // A refused value (400) says nothing about the device; any other failure may leave it in a
  // state best forgotten.
  if (failed(result) && std::get<Failure>(result).kind != FailureKind::kBadRequest) {
    session_.reset();
  }
  last_use_ = std::chrono::steady_clock::now();
  session_opened_.notify_all();
  return result;
}

Result<bool> V4l2Camera::ensure_streaming(const FrameRequest& request, bool keep_current) {
  CaptureSession& session = *session_;
  if (keep_current && session.streaming() && !request.width && !request.height) return true;
  const auto choice = choose_format(session.formats(), request, session.current_size());
  if (!choice) {
    return Failure{FailureKind::kDeviceFailed,
                   "camera " + std::to_string(camera_.node) +
                       " offers none of the pixel formats this service reads "
                       "(MJPEG, YUYV, NV12)"};
  }
  if (session.streaming() && session.streaming_choice() == choice) return true;
  auto started = session.start(*choice, options_.stream);
  if (failed(started)) return std::get<Failure>(started);
  // Every frame from here on was exposed well after any control written before: the stream's
  // start and the warm-up frames it discards take longer than a camera needs to act on one.
  stale_ = false;
  const FrameSize size = std::get<StreamFormat>(started).size;
  info_.width = size.width;
  info_.height = size.height;
  return true;
}

Result<JpegFrame> V4l2Camera::take_jpeg(const FrameRequest& request) {
  if ((request.width && *request.width <= 0) || (request.height && *request.height <= 0)) {
    return Failure{FailureKind::kBadRequest, "width and height must be positive"};
  }
  // A picture shows the moment it was asked for: nothing exposed before then.
  const auto asked = std::chrono::steady_clock::now();
  return with_session<JpegFrame>([&](CaptureSession& session) -> Result<JpegFrame> {
    if (auto streaming = ensure_streaming(request, true); failed(streaming)) {
      return std::get<Failure>(streaming);
    }
    const StreamFormat format = session.stream_format();
    for (int bad = 0; bad < kMaxBadFrames; ++bad) {
      // After a control change one frame more: a camera acts on a control a little after the
      // write, so the first frame exposed after it may still show the old setting.
      auto frame = session.frame_exposed_after(asked, stale_ ? 1 : 0);
      if (failed(frame)) return std::get<Failure>(frame);
      stale_ = false;
      const std::string& bytes = std::get<CapturedFrame>(frame).bytes;
      // The mode's picture fitted inside the asked box, aspect kept, never enlarged; the
      // camera's own JPEG goes out as it is when it already fits exactly.
      const FitSize sent =
          fitted_size(format.size.width, format.size.height, request.width, request.height);
      const bool whole_frame = sent.width == format.size.width && sent.height == format.size.height;
      JpegFrame jpeg;
      jpeg.width = sent.width;
      jpeg.height = sent.height;
      if (is_jpeg_format(format.fourcc)) {
        auto whole = servable_jpeg(bytes);
        if (!whole || !looks_like_jpeg(*whole)) continue;  // cut short on the way: take the next
        if (whole_frame) {
          jpeg.bytes = std::move(*whole);
        } else {
          auto fitted = fit_frame(*whole, FitRequest{std::nullopt, request.width, request.height},
                                  std::to_string(camera_.node));
          if (failed(fitted)) {
            // A frame damaged on the way: take the next.
            if (std::get<Failure>(fitted).kind == FailureKind::kDeviceFailed) continue;
            return std::get<Failure>(fitted);
          }
          FittedFrame& made = std::get<FittedFrame>(fitted);
          jpeg.bytes = std::move(made.bytes);
          jpeg.width = made.width;
          jpeg.height = made.height;
        }
      } else {
        auto encoded =
            whole_frame
                ? encode_raw_frame(raw_frame(format, bytes), options_.jpeg_quality)
                : encode_raw_frame_scaled(raw_frame(format, bytes), sent.width, sent.height,
                                          options_.jpeg_quality, scaler_);
        if (failed(encoded)) {
          // A frame cut short on the way: take the next.
          if (std::get<Failure>(encoded).kind == FailureKind::kDeviceFailed) continue;
          return std::get<Failure>(encoded);
        }
        jpeg.bytes = std::move(std::get<std::string>(encoded));
      }
      const FrameSize sent_size{jpeg.width, jpeg.height};
      jpeg.headers.emplace_back("X-Frame-Size", size_text(sent_size));
      if (size_differs(request, sent_size)) {
        jpeg.headers.emplace_back("X-Asked-Size", asked_text(request));
      }
      return jpeg;
    }
    return Failure{FailureKind::kDeviceFailed,
                   "camera " + std::to_string(camera_.node) + " sends broken frames"};
  });
}

Result<Image> V4l2Camera::take_gray() {
  return with_session<Image>([&](CaptureSession& session) -> Result<Image> {
    // Any running stream will do for measuring.
    if (!session.streaming()) {
      if (auto streaming = ensure_streaming(options_.first_request, true); failed(streaming)) {
        return std::get<Failure>(streaming);
      }
    }
    const StreamFormat format = session.stream_format();
    const int reduce = gray_reduction(format.size.width, options_.gray_min_width);
    for (int bad = 0; bad < kMaxBadFrames; ++bad) {
      // One frame after a change: the focus sweep takes frames until the picture holds still
      // anyway, so a frame from before the change cannot pass for one after it.
      auto frame = session.next_frame(stale_ ? 1 : 0);
      if (failed(frame)) return std::get<Failure>(frame);
      stale_ = false;
      const std::string& bytes = std::get<CapturedFrame>(frame).bytes;
      gray_exposure_began_ = std::get<CapturedFrame>(frame).exposure_began;
      if (!is_jpeg_format(format.fourcc)) {
        if (bytes.size() < raw_frame_size(format.fourcc, format.stride, format.size.height)) {
          continue;
        }
        return raw_frame_gray(raw_frame(format, bytes), reduce);
      }
      auto whole = servable_jpeg(bytes);
      if (!whole) continue;
      auto gray = decode_jpeg(*whole, PixelFormat::kGray, reduce);
      if (!failed(gray)) return gray;
    }
    return Failure{FailureKind::kDeviceFailed,
                   "camera " + std::to_string(camera_.node) + " sends broken frames"};
  });
}

Result<std::vector<ControlInfo>> V4l2Camera::list_controls() {
  return with_session<std::vector<ControlInfo>>(
      [&](CaptureSession& session) -> Result<std::vector<ControlInfo>> {
        auto found = query_controls(*layer_, session.fd(), camera_);
        if (failed(found)) return std::get<Failure>(found);
        std::vector<ControlInfo> listed;
        for (const CameraControl& control : std::get<std::vector<CameraControl>>(found)) {
          listed.push_back(control.info);
        }
        return listed;
      });
}

Result<ControlChange> V4l2Camera::change_control(std::string_view name, std::int64_t value) {
  return with_session<ControlChange>([&](CaptureSession& session) -> Result<ControlChange> {
    auto change = set_camera_control(*layer_, session.fd(), camera_, name, value);
    if (!failed(change)) stale_ = true;
    return change;
  });
}

}  // namespace app::v4l2
