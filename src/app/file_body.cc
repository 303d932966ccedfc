#include "app/file_body.h"

#include <unistd.h>

#include <algorithm>

namespace app {

FileBody::~FileBody() { ::close(fd_); }

ssize_t FileBody::read_at(std::uint64_t offset, char* buffer, std::size_t length) const {
  if (offset >= size_) return 0;
  const auto wanted = static_cast<std::size_t>(std::min<std::uint64_t>(length, size_ - offset));
  return ::pread(fd_, buffer, wanted, static_cast<off_t>(offset));
}

Result<std::string> FileBody::read_all() const {
  std::string bytes(static_cast<std::size_t>(size_), '\0');
  for (std::size_t at = 0; at < bytes.size();) {
    const ssize_t n = read_at(at, bytes.data() + at, bytes.size() - at);
    if (n <= 0) return Failure{FailureKind::kInternal, "cannot read back the file"};
    at += static_cast<std::size_t>(n);
  }
  return bytes;
}

}  // namespace app
