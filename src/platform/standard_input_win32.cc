#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <algorithm>

#include "platform/standard_input.h"

namespace platform {

std::variant<std::size_t, OsError> read_stdin_some(char* buffer, std::size_t capacity) {
  const HANDLE input = ::GetStdHandle(STD_INPUT_HANDLE);
  if (input == nullptr || input == INVALID_HANDLE_VALUE) return std::size_t{0};
  DWORD count = 0;
  const DWORD asked = static_cast<DWORD>(std::min<std::size_t>(capacity, 1u << 20));
  if (::ReadFile(input, buffer, asked, &count, nullptr) == 0) {
    const DWORD error = ::GetLastError();
    // The writing end of the pipe was closed: the end of the input.
    if (error == ERROR_BROKEN_PIPE || error == ERROR_HANDLE_EOF) return std::size_t{0};
    return OsError{static_cast<int>(error)};
  }
  return static_cast<std::size_t>(count);
}

}  // namespace platform
