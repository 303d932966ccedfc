// A stand-in for the capture service that answers every request with one body of a given size:
// a status line, a Content-Length header and that many bytes, then it closes the connection.
// The bytes are a fixed pseudo-random pattern, generated once and sent again and again, so the
// server itself stays small whatever the body size and two clients fetching it get equal files.
//
//   body_server BYTES    prints the port it listens on (127.0.0.1), then serves until killed.
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "loopback.h"

namespace {

constexpr std::size_t kPatternSize = 1 << 20;

std::vector<char> make_pattern() {
  std::vector<char> pattern(kPatternSize);
  std::uint64_t state = 0x9E3779B97F4A7C15u;
  for (char& byte : pattern) {
    state ^= state << 13;
    state ^= state >> 7;
    state ^= state << 17;
    byte = static_cast<char>(state & 0xFF);
  }
  return pattern;
}

bool send_all(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Reads the request up to the end of its head; the request itself does not matter.
void read_head(int fd) {
  std::string head;
  char buffer[4096];
  while (head.find("\r\n\r\n") == std::string::npos) {
    const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    head.append(buffer, static_cast<std::size_t>(n));
  }
}

void serve(int fd, std::uint64_t bytes, const std::vector<char>& pattern) {
  read_head(fd);
  const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: image/jpeg\r\nContent-Length: " +
                           std::to_string(bytes) + "\r\nConnection: close\r\n\r\n";
  if (!send_all(fd, head.data(), head.size())) return;
  while (bytes > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(bytes, pattern.size()));
    if (!send_all(fd, pattern.data(), n)) return;
    bytes -= n;
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t bytes = 0;
  const std::string_view size_text = argc == 2 ? argv[1] : "";
  const auto parsed = std::from_chars(size_text.data(), size_text.data() + size_text.size(), bytes);
  if (size_text.empty() || parsed.ec != std::errc() ||
      parsed.ptr != size_text.data() + size_text.size()) {
    std::fprintf(stderr, "usage: body_server BYTES\n");
    return 2;
  }
  const std::vector<char> pattern = make_pattern();

  testing_support::LoopbackListener listening;
  try {
    listening = testing_support::listen_on_loopback(16);
  } catch (const std::runtime_error& error) {
    std::fprintf(stderr, "body_server: %s\n", error.what());
    return 1;
  }
  const int listener = listening.fd;
  std::printf("%u\n", static_cast<unsigned>(listening.port));
  std::fflush(stdout);

  for (;;) {
    const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR) continue;
      std::perror("body_server: accept");
      return 1;
    }
    serve(fd, bytes, pattern);
    ::close(fd);
  }
}
