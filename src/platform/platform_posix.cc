// POSIX side of the platform layer.
#include "platform/platform.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <vector>

namespace platform {
namespace {

OsError last_error() { return OsError{errno}; }

int to_fd(std::intptr_t handle) { return static_cast<int>(handle); }

void write_all(std::FILE* stream, std::string_view bytes) {
  std::fwrite(bytes.data(), 1, bytes.size(), stream);
}

// The receive buffer asked for on every connection (Linux doubles it for its bookkeeping). On the
// loopback a gigabyte answer was received in about 0.3 s through it, against 0.4 s through the
// buffer the kernel tunes by itself, which starts small and grows with what the program has read.
constexpr int kReceiveBuffer = 4 * 1024 * 1024;

// The largest receive buffer a program may ask for (Linux: net.core.rmem_max), or 0 when unknown.
long largest_receive_buffer() {
  std::FILE* file = std::fopen("/proc/sys/net/core/rmem_max", "re");
  if (file == nullptr) return 0;
  long value = 0;
  if (std::fscanf(file, "%ld", &value) != 1) value = 0;
  std::fclose(file);
  return value;
}

// Asks for kReceiveBuffer, but only where the system grants it whole: a buffer set by hand is no
// longer tuned by the kernel, and one smaller than the tuning would reach could only slow it.
void widen_receive_buffer(int fd) {
  static const bool granted = largest_receive_buffer() >= kReceiveBuffer;
  if (!granted) return;
  const int size = kReceiveBuffer;
  // A refusal changes nothing: the connection keeps the kernel's own buffer.
  static_cast<void>(::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size));
}

}  // namespace

std::string describe(OsError error) {
  char buffer[256];
  // The GNU strerror_r returns the text, which may or may not sit in the buffer.
  const char* text = strerror_r(error.code, buffer, sizeof buffer);
  return std::string(text) + " (os error " + std::to_string(error.code) + ")";
}

void start_process() {
  // A closed pipe or peer then shows up as EPIPE on the write instead of ending the process.
  std::signal(SIGPIPE, SIG_IGN);
}

void write_stdout(std::string_view bytes) { write_all(stdout, bytes); }

void write_stderr(std::string_view bytes) {
  write_all(stderr, bytes);
  std::fflush(stderr);
}

std::optional<OsError> flush_stdout() {
  errno = 0;
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
    return OsError{errno != 0 ? errno : EIO};
  }
  return std::nullopt;
}

void exit_process(int status) {
  std::fflush(stdout);
  std::fflush(stderr);
  std::_Exit(status);
}

std::optional<std::string> environment_variable(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) return std::nullopt;
  return std::string(value);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(to_fd(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

OutputFile::~OutputFile() {
  if (handle_ >= 0) ::close(to_fd(handle_));
}

std::variant<OutputFile, OsError> OutputFile::create(const std::string& path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) return last_error();
  OutputFile file;
  file.handle_ = fd;
  return file;
}

std::variant<std::size_t, OsError> OutputFile::write_some(std::string_view bytes) {
  for (;;) {
    ssize_t n = ::write(to_fd(handle_), bytes.data(), bytes.size());
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_error();
  }
}

std::optional<OsError> OutputFile::close() {
  int fd = to_fd(std::exchange(handle_, -1));
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return last_error();
  return std::nullopt;
}

bool can_prepare_pages() {
#ifdef MADV_POPULATE_WRITE
  return true;
#else
  return false;
#endif
}

bool prepare_pages(char* begin, std::size_t size) {
#ifdef MADV_POPULATE_WRITE
  const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto start = reinterpret_cast<std::uintptr_t>(begin);
  const std::uintptr_t first = (start + page - 1) & ~(page - 1);
  const std::uintptr_t last = (start + size) & ~(page - 1);
  if (last <= first) return true;
  // Kernels before 5.14 do not know the advice and refuse it (EINVAL).
  return ::madvise(reinterpret_cast<void*>(first), last - first, MADV_POPULATE_WRITE) == 0;
#else
  static_cast<void>(begin);
  static_cast<void>(size);
  return false;
#endif
}

std::optional<SocketAddress> literal_address(const std::string& host, std::uint16_t port) {
  SocketAddress address;
  sockaddr_in v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    std::memcpy(address.storage.data(), &v4, sizeof v4);
    address.length = sizeof v4;
    address.family = AF_INET;
    return address;
  }
  sockaddr_in6 v6{};
  if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    std::memcpy(address.storage.data(), &v6, sizeof v6);
    address.length = sizeof v6;
    address.family = AF_INET6;
    return address;
  }
  return std::nullopt;
}

std::variant<std::vector<SocketAddress>, std::string> resolve(const std::string& host,
                                                              std::uint16_t port) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  int rc = ::getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (rc == EAI_SYSTEM) return describe(last_error());
  if (rc != 0) return std::string(::gai_strerror(rc)) + " (os error " + std::to_string(rc) + ")";
  std::vector<SocketAddress> addresses;
  for (addrinfo* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addrlen > sizeof(SocketAddress{}.storage)) continue;
    SocketAddress address;
    std::memcpy(address.storage.data(), entry->ai_addr, entry->ai_addrlen);
    address.length = static_cast<int>(entry->ai_addrlen);
    address.family = entry->ai_family;
    addresses.push_back(address);
  }
  ::freeaddrinfo(found);
  return addresses;
}

TcpStream::TcpStream(TcpStream&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
  if (this != &other) {
    if (handle_ >= 0) ::close(to_fd(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

TcpStream::~TcpStream() {
  if (handle_ >= 0) ::close(to_fd(handle_));
}

std::variant<TcpStream, OsError> TcpStream::connect(const SocketAddress& address) {
  int fd = ::socket(address.family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return last_error();
  TcpStream stream;
  stream.handle_ = fd;
  widen_receive_buffer(fd);
  const auto* target = reinterpret_cast<const sockaddr*>(address.storage.data());
  while (::connect(fd, target, static_cast<socklen_t>(address.length)) != 0) {
    if (errno != EINTR) return last_error();
  }
  return stream;
}

std::optional<OsError> TcpStream::set_receive_timeout(std::uint32_t milliseconds) {
  timeval timeout{};
  timeout.tv_sec = static_cast<time_t>(milliseconds / 1000);
  timeout.tv_usec = static_cast<suseconds_t>((milliseconds % 1000) * 1000);
  if (::setsockopt(to_fd(handle_), SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
    return last_error();
  }
  return std::nullopt;
}

std::variant<std::size_t, OsError> TcpStream::send_some(std::string_view bytes) {
  for (;;) {
    ssize_t n = ::send(to_fd(handle_), bytes.data(), bytes.size(), MSG_NOSIGNAL);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_error();
  }
}

std::variant<std::size_t, OsError> TcpStream::receive_some(char* buffer, std::size_t capacity) {
  for (;;) {
    ssize_t n = ::recv(to_fd(handle_), buffer, capacity, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) return last_error();
  }
}

}  // namespace platform
