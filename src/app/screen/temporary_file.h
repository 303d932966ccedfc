// Scratch files for the recorder: both containers need a seekable output for their duration and
// index, so a recording is written to a temporary file and then read back whole.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <utility>

#include "app/failure.h"

namespace app {

// A file in the temporary folder that is removed again when this goes.
class TemporaryFile {
 public:
  static Result<TemporaryFile> create(const std::string& suffix) {
    std::error_code error;
    std::filesystem::path folder = std::filesystem::temp_directory_path(error);
    if (error) folder = "/tmp";
    std::string path = (folder / ("tirvane-recording-XXXXXX" + suffix)).string();
    const int fd = mkstemps(path.data(), static_cast<int>(suffix.size()));
    if (fd < 0) {
      return Failure{
          FailureKind::kInternal,
          "cannot record the screen: cannot create a temporary file in " + folder.string()};
    }
    ::close(fd);
    return TemporaryFile(std::move(path));
  }
  TemporaryFile(TemporaryFile&& other) noexcept : path_(std::exchange(other.path_, {})) {}
  TemporaryFile& operator=(TemporaryFile&&) = delete;
  ~TemporaryFile() {
    if (!path_.empty()) ::unlink(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  explicit TemporaryFile(std::string path) : path_(std::move(path)) {}
  std::string path_;
};

inline Result<std::string> read_whole_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::error_code error;
  const auto size = std::filesystem::file_size(path, error);
  std::string bytes;
  if (in && !error) {
    bytes.resize(size);
    in.read(bytes.data(), static_cast<std::streamsize>(size));
  }
  if (!in || error)
    return Failure{FailureKind::kInternal, "cannot record the screen: cannot read back " + path};
  return bytes;
}

}  // namespace app
