// The operating system as the client sees it: process start-up, console streams, one environment
// variable, output files and TCP sockets. Everything here has a POSIX side (platform_posix.cc) and a
// Windows side (platform_win32.cc); nothing else in the client knows which one it runs on.
//
// Failures come back as values. An OsError holds the platform's own error number; describe() turns
// it into the one layout every report uses: "{description} (os error {code})".
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace platform {

struct OsError {
  int code = 0;
};

// "{description} (os error {code})", with the system's own description of the number.
std::string describe(OsError error);

// Once per process, before anything else: streams set to pass bytes unchanged, and a write to a
// closed pipe or socket reported as an error rather than a signal. Where the platform has a socket
// library to start, it is started once, by the first address or socket asked for.
void start_process();

// Standard output and standard error take bytes unchanged, with no line-end translation; a Windows
// console, which shows characters rather than bytes, is given the UTF-8 text as UTF-16. Standard
// output is buffered until flushed; standard error is written at once.
void write_stdout(std::string_view bytes);
void write_stderr(std::string_view bytes);
// Pushes buffered standard output to its destination; returns the error when it could not.
std::optional<OsError> flush_stdout();
[[noreturn]] void exit_process(int status);

// The value of an environment variable, or nothing when it is unset or not valid Unicode where
// the platform can tell (Windows). On POSIX the bytes come back as they are.
std::optional<std::string> environment_variable(const char* name);

// An output file, created or truncated. Closed by the destructor.
class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  OutputFile(OutputFile&& other) noexcept;
  OutputFile& operator=(OutputFile&& other) noexcept;
  ~OutputFile();

  // Opens `path` (UTF-8) for writing, creating it or cutting it to zero length.
  static std::variant<OutputFile, OsError> create(const std::string& path);
  // Writes as much of `bytes` as the system accepts at once: the count (0 when it accepted none),
  // or the error.
  std::variant<std::size_t, OsError> write_some(std::string_view bytes);
  std::optional<OsError> close();

 private:
  std::intptr_t handle_ = -1;
};

// Whether prepare_pages can bring pages in on this platform at all.
bool can_prepare_pages();

// Makes the whole pages inside `size` bytes at `begin`, memory this process owns, present and
// writable without changing what they hold, so that a later write there need not stop for each
// page to be made. False when it could not; nothing is lost then, the pages still come in at
// their first write.
bool prepare_pages(char* begin, std::size_t size);

// A socket address of either family, ready for connect.
struct SocketAddress {
  std::array<std::byte, 128> storage{};
  int length = 0;
  int family = 0;
};

// The address for a literal IPv4 host text ("127.0.0.1") or IPv6 text without brackets ("::1"),
// or nothing when the text is not such a literal.
std::optional<SocketAddress> literal_address(const std::string& host, std::uint16_t port);

// The resolver's stream-socket addresses for `host`, of any family, in the order it gives them,
// or its failure already described in the layout of describe(): the resolver has error numbers and
// texts of its own.
std::variant<std::vector<SocketAddress>, std::string> resolve(const std::string& host,
                                                              std::uint16_t port);

// A connected TCP stream. Closed by the destructor.
class TcpStream {
 public:
  TcpStream() = default;
  TcpStream(const TcpStream&) = delete;
  TcpStream& operator=(const TcpStream&) = delete;
  TcpStream(TcpStream&& other) noexcept;
  TcpStream& operator=(TcpStream&& other) noexcept;
  ~TcpStream();

  // A blocking connect with no time-out of its own.
  static std::variant<TcpStream, OsError> connect(const SocketAddress& address);
  std::optional<OsError> set_receive_timeout(std::uint32_t milliseconds);
  // Bytes accepted (0 when none were), or the error.
  std::variant<std::size_t, OsError> send_some(std::string_view bytes);
  // Bytes received, 0 at the end of the stream, or the error; interrupted receives are repeated.
  std::variant<std::size_t, OsError> receive_some(char* buffer, std::size_t capacity);

 private:
  std::intptr_t handle_ = -1;
};

}  // namespace platform
