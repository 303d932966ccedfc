// The frames of a recording between the capture thread, which fills them, and the encoder,
// which empties them. Thread-safe.
#pragma once

#include <condition_variable>
#include <deque>
#include <mutex>
#include <vector>

#include "app/screen/video_writer.h"

namespace app {

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

}  // namespace app
