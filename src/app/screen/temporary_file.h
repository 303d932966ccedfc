// Scratch files for the recorder: both containers need a seekable output for their duration and
// index, so a recording is written to a temporary file and then sent from it (file_body.h).
#pragma once

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>
#include <utility>

#include "app/failure.h"

namespace app {

// A file in the temporary folder that has no name: made with O_TMPFILE, or unlinked the moment it
// is made where the file system cannot do that. Nothing is left behind however the process
// ends, a kill -9 included. It is reached through path(), /proc/self/fd/N, while this is open.
class TemporaryFile {
 public:
  static Result<TemporaryFile> create(const std::string& suffix) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) folder = "/tmp";
    int fd = ::open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0) {
      std::string path = (folder / ("tirvane-recording-XXXXXX" + suffix)).string();
      fd = mkostemps(path.data(), static_cast<int>(suffix.size()), O_CLOEXEC);
      if (fd >= 0) ::unlink(path.c_str());
    }
    if (fd < 0) {
      return Failure{
          FailureKind::kInternal,
          "cannot record the screen: cannot create a temporary file in " + folder.string()};
    }
    return TemporaryFile(fd);
  }
  TemporaryFile(TemporaryFile&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  // Hands the descriptor over; the file lives as long as it stays open.
  int release() { return std::exchange(fd_, -1); }
  // A name that opens this very file, for libraries that open by name.
  std::string path() const { return "/proc/self/fd/" + std::to_string(fd_); }

 private:
  explicit TemporaryFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace app
