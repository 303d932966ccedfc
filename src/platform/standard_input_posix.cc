#include <unistd.h>

#include <cerrno>

#include "platform/standard_input.h"

namespace platform {

std::variant<std::size_t, OsError> read_stdin_some(char* buffer, std::size_t capacity) {
  for (;;) {
    const ssize_t count = ::read(STDIN_FILENO, buffer, capacity);
    if (count >= 0) return static_cast<std::size_t>(count);
    if (errno != EINTR) return OsError{errno};
  }
}

}  // namespace platform
