// A finished file sent as an answer's body straight from disk, a piece at a time, so that a
// large one is never held in memory whole. It owns its descriptor, and the file usually has no
// name (a recording's scratch file): it goes when the last holder lets go.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/failure.h"

namespace app {

class FileBody {
 public:
  // Takes `fd`, open for reading, whose first `size` bytes are the body.
  FileBody(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~FileBody();
  FileBody(const FileBody&) = delete;
  FileBody& operator=(const FileBody&) = delete;

  std::uint64_t size() const { return size_; }

  // Up to `length` bytes from `offset` into `buffer`: how many (0 at the end), or -1.
  ssize_t read_at(std::uint64_t offset, char* buffer, std::size_t length) const;

  // The whole body in memory, for those that need it so (tests, benchmarks).
  Result<std::string> read_all() const;

 private:
  int fd_;
  std::uint64_t size_;
};

}  // namespace app
