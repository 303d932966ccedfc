#include "app_client/pages_ahead.h"

#include <algorithm>
#include <limits>
#include <system_error>

#include "platform/platform.h"

namespace {
// The helper stays this far ahead of the receiver, whose receive may be filling the pages just
// past the count it last reported; making the same pages from both threads only costs contention.
constexpr std::size_t kGap = 2 * 1024 * 1024;
// Pages made in one call: small enough that the helper follows the receiver closely.
constexpr std::size_t kStep = 1024 * 1024;
constexpr std::size_t kStop = std::numeric_limits<std::size_t>::max();
}  // namespace

PagesAhead::PagesAhead(std::span<char> buffer) : buffer_(buffer) {
  if (buffer_.size() < kSmallest || !platform::can_prepare_pages()) return;
  try {
    helper_ = std::thread(&PagesAhead::run, this);
  } catch (const std::system_error&) {
    // No thread to be had (a memory limit, a thread limit): receive without one.
  }
}

PagesAhead::~PagesAhead() {
  if (!helper_.joinable()) return;
  filled_.store(kStop);
  filled_.notify_one();
  helper_.join();
}

void PagesAhead::filled(std::size_t count) {
  if (!helper_.joinable()) return;
  filled_.store(std::min(count, kStop - 1), std::memory_order_release);
  filled_.notify_one();
}

void PagesAhead::run() {
  std::size_t next = 0;  // the first byte not yet made ready
  for (;;) {
    const std::size_t have = filled_.load(std::memory_order_acquire);
    if (have == kStop || have >= buffer_.size()) return;
    next = std::max(next, std::min(have + kGap, buffer_.size()));
    if (next == buffer_.size()) return;
    const std::size_t limit = std::min(buffer_.size(), have + kWindow);
    if (next >= limit) {
      filled_.wait(have, std::memory_order_acquire);  // far enough ahead: until more arrives
      continue;
    }
    const std::size_t end = std::min(limit, next + kStep);
    if (!platform::prepare_pages(buffer_.data() + next, end - next)) return;
    next = end;
  }
}
