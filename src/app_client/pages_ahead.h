// Makes the pages of a large receive buffer in batches, a little ahead of the bytes arriving.
//
// Fresh memory is made page by page at its first write: for a body of a gigabyte that is 262,144
// faults, each a trap into the kernel between receives. Asking the kernel for a few megabytes of
// pages at once costs one call instead of a thousand traps. The batches never run more than
// kWindow ahead of what has arrived, so a stated length that turns out to be a lie costs little
// memory beyond what really came. Everything happens on the receiving thread.
#pragma once

#include <cstddef>
#include <span>

class PagesAhead {
 public:
  // Buffers smaller than this are left to fault in: their faults cost a few milliseconds.
  static constexpr std::size_t kSmallest = 16 * 1024 * 1024;
  // How far ahead of the received bytes pages are made, at most.
  static constexpr std::size_t kWindow = 4 * 1024 * 1024;

  // Works on `buffer`, about to be filled from its start, when it is large enough and the
  // platform can make pages in batches; otherwise does nothing.
  explicit PagesAhead(std::span<char> buffer);

  // The first `count` bytes of the buffer have been filled; makes the pages of the next window.
  void filled(std::size_t count);

 private:
  std::span<char> buffer_;
  std::size_t made_ = 0;  // the first byte whose page is not yet made
  bool active_ = false;
};
