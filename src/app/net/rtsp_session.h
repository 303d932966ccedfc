// An RTSP (or RTSPS) stream read through libavformat and decoded through libavcodec, on a thread
// of its own, for the pictures of an IP camera.
//
// Opening a session costs a few round trips and a wait for the camera's next key frame, often a
// second or more, so a session stays open for a while after its last use: a burst of snaps
// reads frames from the one connection. The reader thread closes the session itself once it has
// gone unused for the keep-open time, or at the first failure; the destructor stops it at once.
// Every blocking call of the libraries is bounded by an interrupt callback with a deadline.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "app/failure.h"
#include "app/net/video_frame.h"

namespace app::net {

struct RtspLimits {
  std::chrono::milliseconds connect_timeout{5000};  // each socket operation
  std::chrono::milliseconds total_timeout{20000};   // from opening to the first picture
  std::chrono::milliseconds keep_open{5000};        // after the last use
};

struct ReaderState;

class RtspSession {
 public:
  using Clock = std::chrono::steady_clock;


  // Starts connecting at once. `url` is handed to libavformat as it is.
  RtspSession(std::string url, RtspLimits limits);
  ~RtspSession();
  RtspSession(const RtspSession&) = delete;
  RtspSession& operator=(const RtspSession&) = delete;

  // A decoded frame that arrived no earlier than shortly before this call (a frame the stream
  // had just delivered is as fresh as the camera can give), waiting for the next one otherwise.
  // A failure is 502 with the reason alone, or 504 when the reason is time that ran out.
  // Nothing when the session had closed for lack of use just before: not the camera's fault,
  // and a new session is to be opened.
  std::optional<Result<FramePointer>> fresh_frame();

  // False once the reader has stopped (unused too long, or failed): a new session is needed.
  bool open() const;

 private:
  void run();
  void read_frames(ReaderState& state);
  void fail(Failure failure);

  const std::string url_;
  const RtspLimits limits_;

  mutable std::mutex mutex_;
  std::condition_variable arrived_;
  FramePointer latest_;
  Clock::time_point latest_at_{};
  Clock::time_point last_use_;
  std::optional<Failure> failure_;
  bool finished_ = false;

  std::atomic<bool> stop_{false};
  std::thread reader_;
};

}  // namespace app::net
