#include "app/v4l2/capture_session.h"

#include <linux/videodev2.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <limits>

#include "app/v4l2/capabilities.h"

namespace app::v4l2 {
namespace {

// Damaged buffers tolerated in a row before the camera is called broken.
constexpr int kMaxDamagedFrames = 10;

int to_int(std::uint32_t value) {
  return static_cast<int>(std::min<std::uint32_t>(value, std::numeric_limits<int>::max()));
}

using Clock = std::chrono::steady_clock;

bool limited_range(const v4l2_pix_format& pix) {
  std::uint32_t quantization = pix.quantization;
  if (quantization == V4L2_QUANTIZATION_DEFAULT) {
    quantization = V4L2_MAP_QUANTIZATION_DEFAULT(false, pix.colorspace, pix.ycbcr_enc);
  }
  return quantization == V4L2_QUANTIZATION_LIM_RANGE;
}

}  // namespace

CaptureSession::CaptureSession(std::shared_ptr<DeviceLayer> layer, CameraRef camera, int fd)
    : layer_(std::move(layer)), camera_(std::move(camera)), fd_(fd) {}

Result<std::unique_ptr<CaptureSession>> CaptureSession::open(std::shared_ptr<DeviceLayer> layer,
                                                             CameraRef camera) {
  const int fd = layer->open(camera.path);
  if (fd < 0) return camera_failure(camera, "be opened", -fd);
  std::unique_ptr<CaptureSession> session(new CaptureSession(layer, camera, fd));

  v4l2_capability caps{};
  if (const int result = layer->ioctl(fd, VIDIOC_QUERYCAP, &caps); result < 0) {
    if (result == -ENOTTY) {
      return Failure{FailureKind::kNotFound, "camera " + std::to_string(camera.node) + " (" +
                                                 camera.path + ") is not a video device"};
    }
    return camera_failure(camera, "say what it is", -result);
  }
  if (!captures_by_streaming(caps)) {
    return Failure{FailureKind::kNotFound, "camera " + std::to_string(camera.node) + " (" +
                                               camera.path + ") does not capture video"};
  }
  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (layer->ioctl(fd, VIDIOC_G_FMT, &format) == 0) {
    session->opened_size_ = {to_int(format.fmt.pix.width), to_int(format.fmt.pix.height)};
  }
  auto formats = enumerate_formats(*layer, fd, camera);
  if (failed(formats)) return std::get<Failure>(formats);
  session->formats_ = std::move(std::get<std::vector<OfferedFormat>>(formats));
  return session;
}

CaptureSession::~CaptureSession() {
  stop();
  if (fd_ >= 0) layer_->close(fd_);
}

FrameSize CaptureSession::current_size() const {
  return streaming_ ? streaming_->size : opened_size_;
}

void CaptureSession::stop() {
  if (streaming_) {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    layer_->ioctl(fd_, VIDIOC_STREAMOFF, &type);
  }
  for (const Buffer& buffer : buffers_) layer_->munmap(buffer.address, buffer.length);
  if (!buffers_.empty() || streaming_) {
    v4l2_requestbuffers release{};
    release.count = 0;
    release.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    release.memory = V4L2_MEMORY_MMAP;
    layer_->ioctl(fd_, VIDIOC_REQBUFS, &release);
  }
  buffers_.clear();
  streaming_.reset();
  choice_.reset();
  last_stamp_.reset();
}

Result<StreamFormat> CaptureSession::start(const FormatChoice& choice,
                                           const StreamSettings& settings) {
  stop();
  settings_ = settings;

  v4l2_format format{};
  format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  format.fmt.pix.width = static_cast<std::uint32_t>(choice.size.width);
  format.fmt.pix.height = static_cast<std::uint32_t>(choice.size.height);
  format.fmt.pix.pixelformat = choice.fourcc;
  format.fmt.pix.field = V4L2_FIELD_NONE;
  if (const int result = layer_->ioctl(fd_, VIDIOC_S_FMT, &format); result < 0) {
    return camera_failure(camera_, "set its pixel format", -result);
  }
  const v4l2_pix_format& pix = format.fmt.pix;
  if (pix.pixelformat != choice.fourcc) {
    return Failure{FailureKind::kDeviceFailed,
                   "camera " + std::to_string(camera_.node) + " would not deliver " +
                       fourcc_name(choice.fourcc) + " frames (it offered " +
                       fourcc_name(pix.pixelformat) + ")"};
  }
  StreamFormat agreed;
  agreed.fourcc = pix.pixelformat;
  agreed.size = {to_int(pix.width), to_int(pix.height)};
  agreed.stride = pix.bytesperline;
  agreed.limited_range = limited_range(pix);
  if (agreed.size.width <= 0 || agreed.size.height <= 0) {
    return Failure{FailureKind::kDeviceFailed,
                   "camera " + std::to_string(camera_.node) + " reported an empty frame size"};
  }
  if (!is_jpeg_format(agreed.fourcc)) {
    const std::size_t packed = static_cast<std::size_t>(agreed.size.width) *
                               (agreed.fourcc == V4L2_PIX_FMT_YUYV ? 2 : 1);
    agreed.stride = std::max(agreed.stride, packed);
  }

  v4l2_requestbuffers request{};
  request.count = static_cast<std::uint32_t>(std::max(settings.buffer_count, 1));
  request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  request.memory = V4L2_MEMORY_MMAP;
  if (const int result = layer_->ioctl(fd_, VIDIOC_REQBUFS, &request); result < 0) {
    return camera_failure(camera_, "allocate frame buffers", -result);
  }
  if (request.count == 0) return camera_failure(camera_, "allocate frame buffers", ENOMEM);
  // From here on stop() undoes the allocation, even if mapping fails half-way.
  choice_ = choice;
  for (std::uint32_t index = 0; index < request.count; ++index) {
    v4l2_buffer query{};
    query.index = index;
    query.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    query.memory = V4L2_MEMORY_MMAP;
    if (const int result = layer_->ioctl(fd_, VIDIOC_QUERYBUF, &query); result < 0) {
      stop();
      return camera_failure(camera_, "describe its frame buffers", -result);
    }
    const Mapping mapping = layer_->mmap(fd_, query.length, query.m.offset);
    if (!mapping.address) {
      stop();
      return camera_failure(camera_, "map its frame buffers", mapping.error);
    }
    buffers_.push_back({mapping.address, query.length});
  }
  for (std::uint32_t index = 0; index < buffers_.size(); ++index) {
    if (auto queued = requeue(index); failed(queued)) {
      stop();
      return std::get<Failure>(queued);
    }
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (const int result = layer_->ioctl(fd_, VIDIOC_STREAMON, &type); result < 0) {
    stop();
    return camera_failure(camera_, "start streaming", -result);
  }
  streaming_ = agreed;
  if (auto warmed = discard_frames(settings.warmup_frames); failed(warmed)) {
    stop();
    return std::get<Failure>(warmed);
  }
  return agreed;
}

Result<bool> CaptureSession::requeue(std::uint32_t index) {
  v4l2_buffer buffer{};
  buffer.index = index;
  buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  buffer.memory = V4L2_MEMORY_MMAP;
  if (const int result = layer_->ioctl(fd_, VIDIOC_QBUF, &buffer); result < 0) {
    return camera_failure(camera_, "queue a frame buffer", -result);
  }
  return true;
}

Result<CaptureSession::Dequeued> CaptureSession::wait_for_buffer() {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::milliseconds(settings_.frame_timeout_ms);
  for (;;) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    const int result = layer_->ioctl(fd_, VIDIOC_DQBUF, &buffer);
    if (result == 0) {
      if (buffer.index >= buffers_.size()) {
        return Failure{FailureKind::kDeviceFailed, "camera " + std::to_string(camera_.node) +
                                                       " returned a buffer it was never given"};
      }
      return Dequeued{buffer.index,
                      std::min<std::size_t>(buffer.bytesused, buffers_[buffer.index].length),
                      (buffer.flags & V4L2_BUF_FLAG_ERROR) != 0, exposure_start(buffer)};
    }
    if (result != -EAGAIN) return camera_failure(camera_, "deliver a frame", -result);

    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) return camera_timeout(camera_, settings_.frame_timeout_ms);
    const int ready = layer_->poll(fd_, static_cast<int>(left.count()));
    if (ready < 0) return camera_failure(camera_, "wait for a frame", -ready);
    if (ready == 0) return camera_timeout(camera_, settings_.frame_timeout_ms);
    if (ready & (POLLERR | POLLHUP | POLLNVAL)) {
      // A vanished device says so through the next dequeue; anything else stops us here.
      buffer = {};
      buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
      buffer.memory = V4L2_MEMORY_MMAP;
      const int error = layer_->ioctl(fd_, VIDIOC_DQBUF, &buffer);
      if (error < 0 && error != -EAGAIN) return camera_failure(camera_, "deliver a frame", -error);
      if (error == 0) {
        if (auto queued = requeue(buffer.index); failed(queued)) return std::get<Failure>(queued);
      }
      return Failure{FailureKind::kDeviceFailed,
                     "camera " + std::to_string(camera_.node) + " stopped streaming"};
    }
  }
}

std::optional<Clock::time_point> CaptureSession::exposure_start(const v4l2_buffer& buffer) {
  if ((buffer.flags & V4L2_BUF_FLAG_TIMESTAMP_MASK) != V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC) {
    return std::nullopt;
  }
  // CLOCK_MONOTONIC, which is steady_clock's clock on Linux. A stamp from the future or from
  // long ago is a driver's mistake: not trusted.
  const Clock::time_point stamp{std::chrono::duration_cast<Clock::duration>(
      std::chrono::seconds(buffer.timestamp.tv_sec) +
      std::chrono::microseconds(buffer.timestamp.tv_usec))};
  const Clock::time_point now = Clock::now();
  if (stamp > now || now - stamp > std::chrono::seconds(1)) return std::nullopt;
  if ((buffer.flags & V4L2_BUF_FLAG_TSTAMP_SRC_MASK) == V4L2_BUF_FLAG_TSTAMP_SRC_SOE) return stamp;
  // Stamped at the end of the frame: the exposure began up to one frame interval earlier. The
  // interval is learnt from consecutive frames; frames the driver dropped in between (the
  // sequence numbers say how many) only make it look longer, which errs on the early side.
  std::optional<Clock::time_point> began;
  if (last_stamp_ && stamp > last_stamp_->at) {
    const std::uint32_t frames = std::max<std::uint32_t>(1, buffer.sequence - last_stamp_->sequence);
    began = stamp - (stamp - last_stamp_->at) / frames;
  }
  last_stamp_ = LastStamp{stamp, buffer.sequence};
  return began;
}

Result<bool> CaptureSession::discard_frames(int count) {
  for (int i = 0; i < count; ++i) {
    auto frame = wait_for_buffer();
    if (failed(frame)) return std::get<Failure>(frame);
    if (auto queued = requeue(std::get<Dequeued>(frame).index); failed(queued)) return queued;
  }
  return true;
}

Result<bool> CaptureSession::drain_waiting() {
  std::vector<std::uint32_t> drained;
  for (std::size_t i = 0; i < buffers_.size(); ++i) {
    v4l2_buffer buffer{};
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    const int result = layer_->ioctl(fd_, VIDIOC_DQBUF, &buffer);
    if (result == -EAGAIN) break;
    if (result < 0) return camera_failure(camera_, "deliver a frame", -result);
    drained.push_back(buffer.index);
  }
  // Requeued only now, so that none of them is dequeued twice.
  for (std::uint32_t index : drained) {
    if (auto queued = requeue(index); failed(queued)) return queued;
  }
  return true;
}

Result<CapturedFrame> CaptureSession::copy_next_whole() {
  for (int damaged = 0; damaged < kMaxDamagedFrames; ++damaged) {
    auto waited = wait_for_buffer();
    if (failed(waited)) return std::get<Failure>(waited);
    const Dequeued frame = std::get<Dequeued>(waited);
    std::string bytes;
    if (!frame.damaged) {
      bytes.assign(static_cast<const char*>(buffers_[frame.index].address), frame.bytes_used);
    }
    if (auto queued = requeue(frame.index); failed(queued)) return std::get<Failure>(queued);
    if (!frame.damaged && !bytes.empty()) return CapturedFrame{std::move(bytes), frame.exposure_began};
  }
  return Failure{FailureKind::kDeviceFailed,
                 "camera " + std::to_string(camera_.node) + " sends only damaged frames"};
}

Result<CapturedFrame> CaptureSession::frame_exposed_after(Clock::time_point asked, int later) {
  if (!streaming_) return Failure{FailureKind::kInternal, "the camera is not streaming"};
  if (auto drained = drain_waiting(); failed(drained)) return std::get<Failure>(drained);
  // Without a usable stamp: every frame from here on completes after `asked`, and the second of
  // them was exposed after the first had completed.
  int completed_after = 0;
  for (;;) {
    auto next = copy_next_whole();
    if (failed(next)) return std::get<Failure>(next);
    CapturedFrame& frame = std::get<CapturedFrame>(next);
    ++completed_after;
    const bool fresh = frame.exposure_began ? *frame.exposure_began >= asked : completed_after >= 2;
    if (!fresh) continue;
    if (later-- > 0) continue;
    return std::move(frame);
  }
}

Result<CapturedFrame> CaptureSession::next_frame(int skip) {
  if (!streaming_) return Failure{FailureKind::kInternal, "the camera is not streaming"};
  if (auto drained = drain_waiting(); failed(drained)) return std::get<Failure>(drained);
  if (skip > 0) {
    if (auto skipped = discard_frames(skip); failed(skipped)) return std::get<Failure>(skipped);
  }
  return copy_next_whole();
}

}  // namespace app::v4l2
