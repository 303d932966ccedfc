#include "app_client/pages_ahead.h"

#include <algorithm>

#include "platform/platform.h"

PagesAhead::PagesAhead(std::span<char> buffer)
    : buffer_(buffer), active_(buffer.size() >= kSmallest && platform::can_prepare_pages()) {
  filled(0);
}

void PagesAhead::filled(std::size_t count) {
  if (!active_) return;
  // Half a window behind: the next batch is asked for once half of the last one has been used,
  // so a receive never waits on a fault and calls stay few.
  if (made_ >= buffer_.size() || made_ > count + kWindow / 2) return;
  const std::size_t begin = std::max(made_, count);
  const std::size_t end = std::min(buffer_.size(), count + kWindow);
  if (end <= begin) return;
  if (!platform::prepare_pages(buffer_.data() + begin, end - begin)) {
    active_ = false;  // the kernel does not know the advice: the pages fault in as before
    return;
  }
  made_ = end;
}
