// Brings the pages of a large receive buffer in on a second thread, a little ahead of the bytes
// arriving.
//
// Fresh memory is made page by page at its first write: for a body of a gigabyte that is 262,144
// faults, each zeroing a page, all on the thread that receives, between receives. Made ahead on
// another thread, that work overlaps the transfer and the receiving thread only copies. The
// helper never runs more than kWindow ahead of what has arrived, so a stated length that turns
// out to be a lie costs little memory beyond what really came.
#pragma once

#include <atomic>
#include <cstddef>
#include <span>
#include <thread>

class PagesAhead {
 public:
  // Buffers smaller than this are not worth a thread: their faults cost a few milliseconds.
  static constexpr std::size_t kSmallest = 16 * 1024 * 1024;
  // How far ahead of the received bytes pages are made, at most.
  static constexpr std::size_t kWindow = 32 * 1024 * 1024;

  // Starts on `buffer`, about to be filled from its start, when it is large enough and the
  // platform can make pages ahead; otherwise does nothing. A thread that cannot be started is
  // not a failure: the pages then come in as they are written.
  explicit PagesAhead(std::span<char> buffer);
  PagesAhead(const PagesAhead&) = delete;
  PagesAhead& operator=(const PagesAhead&) = delete;
  // Stops the helper and waits for it.
  ~PagesAhead();

  // The first `count` bytes of the buffer have been filled (more than the buffer is allowed).
  void filled(std::size_t count);

 private:
  void run();

  std::span<char> buffer_;
  std::atomic<std::size_t> filled_{0};
  std::thread helper_;
};
