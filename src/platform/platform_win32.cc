// Windows side of the platform layer.
//
// Text crosses the system boundary as UTF-16 and is UTF-8 everywhere else. Error numbers are those
// of GetLastError and WSAGetLastError, which share the system's message table.
#include "platform/platform.h"

#define WIN32_LEAN_AND_MEAN
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwctype>
#include <utility>

#include "platform/utf16_win32.h"

namespace platform {
namespace {

OsError last_error() { return OsError{static_cast<int>(::GetLastError())}; }
OsError last_socket_error() { return OsError{::WSAGetLastError()}; }

HANDLE to_handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }
SOCKET to_socket(std::intptr_t handle) { return static_cast<SOCKET>(handle); }

// The most handed to one WriteFile, send or recv: they count in 32 bits.
constexpr std::size_t kLargestTransfer = std::size_t{1} << 30;

// Standard output collects this much before it goes out, as the C runtime's buffer would.
constexpr std::size_t kStreamBuffer = 64 * 1024;
// A console takes text in pieces of at most this many bytes' worth: older consoles refuse a
// single write of much more.
constexpr std::size_t kConsolePiece = 8 * 1024;

// The length of `bytes` without a UTF-8 sequence cut short at its end, so that a console never
// gets half a character.
std::size_t without_cut_sequence(std::string_view bytes) {
  const std::size_t n = bytes.size();
  for (std::size_t back = 1; back <= 4 && back <= n; ++back) {
    const auto byte = static_cast<unsigned char>(bytes[n - back]);
    if ((byte & 0xC0) == 0x80) continue;
    const std::size_t needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
    return needed > back ? n - back : n;
  }
  return n;
}

std::optional<OsError> write_file(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const auto chunk = static_cast<DWORD>(std::min(bytes.size(), kLargestTransfer));
    DWORD written = 0;
    if (!::WriteFile(handle, bytes.data(), chunk, &written, nullptr)) return last_error();
    if (written == 0) return OsError{ERROR_WRITE_FAULT};
    bytes.remove_prefix(written);
  }
  return std::nullopt;
}

// A console shows UTF-16 the same whatever its code page; handed bytes, it would read them in
// its code page and mangle every character beyond ASCII.
std::optional<OsError> write_console(HANDLE handle, std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t piece = without_cut_sequence(bytes.substr(0, kConsolePiece));
    const std::size_t take = piece == 0 ? std::min(bytes.size(), kConsolePiece) : piece;
    std::wstring text = utf16_from_utf8(bytes.substr(0, take));
    std::wstring_view rest = text;
    while (!rest.empty()) {
      DWORD written = 0;
      if (!::WriteConsoleW(handle, rest.data(), static_cast<DWORD>(rest.size()), &written,
                           nullptr)) {
        return last_error();
      }
      if (written == 0) return OsError{ERROR_WRITE_FAULT};
      rest.remove_prefix(written);
    }
    bytes.remove_prefix(take);
  }
  return std::nullopt;
}

// Standard output or standard error, written through the system rather than the C runtime so
// that every failure carries the system's own error number.
class StandardStream {
 public:
  explicit StandardStream(DWORD which) : handle_(::GetStdHandle(which)) {
    DWORD mode = 0;
    console_ = handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE &&
               ::GetConsoleMode(handle_, &mode) != 0;
  }

  void write(std::string_view bytes) {
    pending_.append(bytes);
    // A person watching a console sees each piece as it is written.
    if (console_ || pending_.size() >= kStreamBuffer) drain(/*whole=*/false);
  }

  // Sends everything still held; the first failure since the start, if any.
  std::optional<OsError> flush() {
    drain(/*whole=*/true);
    return error_;
  }

 private:
  void drain(bool whole) {
    const std::size_t take = whole || !console_ ? pending_.size() : without_cut_sequence(pending_);
    if (take == 0) return;
    if (!error_) {
      const std::string_view bytes(pending_.data(), take);
      error_ = console_ ? write_console(handle_, bytes) : write_file(handle_, bytes);
    }
    pending_.erase(0, take);
  }

  HANDLE handle_;
  bool console_ = false;
  std::string pending_;
  std::optional<OsError> error_;
};

StandardStream& standard_output() {
  static StandardStream stream(STD_OUTPUT_HANDLE);
  return stream;
}

StandardStream& standard_error() {
  static StandardStream stream(STD_ERROR_HANDLE);
  return stream;
}

// The socket library is started once, on first use, so that a run that never talks to the
// network (help, a usage error) never loads it. Its failure is reported by the first call that
// needed it.
std::optional<OsError> start_sockets() {
  static const int result = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data);
  }();
  if (result != 0) return OsError{result};
  return std::nullopt;
}

// The system's text for `code`, without its closing line break, or nothing when it has none.
std::optional<std::string> system_message(DWORD code) {
  wchar_t* text = nullptr;
  const DWORD length = ::FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_ALLOCATE_BUFFER,
      nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  if (length == 0 || text == nullptr) return std::nullopt;
  std::wstring_view message(text, length);
  while (!message.empty() && std::iswspace(static_cast<wint_t>(message.back()))) {
    message.remove_suffix(1);
  }
  std::string result = utf8_from_utf16(message);
  ::LocalFree(text);
  if (result.empty()) return std::nullopt;
  return result;
}

}  // namespace

std::string describe(OsError error) {
  const std::string code = std::to_string(error.code);
  const std::string text =
      system_message(static_cast<DWORD>(error.code)).value_or("unknown error");
  return text + " (os error " + code + ")";
}

void start_process() {
  // Output goes through the system, not the C runtime's streams; but the runtime's own last words
  // (an uncaught exception, an abort) do, and in text mode they would gain a CR before each LF.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

void write_stdout(std::string_view bytes) { standard_output().write(bytes); }

void write_stderr(std::string_view bytes) {
  standard_error().write(bytes);
  standard_error().flush();
}

std::optional<OsError> flush_stdout() { return standard_output().flush(); }

void exit_process(int status) {
  standard_output().flush();
  standard_error().flush();
  std::fflush(nullptr);
  std::_Exit(status);
}

std::optional<std::string> environment_variable(const char* name) {
  const wchar_t* value = ::_wgetenv(utf16_from_utf8(name).c_str());
  if (value == nullptr) return std::nullopt;
  return strict_utf8_from_utf16(value);
}

OutputFile::OutputFile(OutputFile&& other) noexcept
    : handle_(std::exchange(other.handle_, -1)) {}

OutputFile& OutputFile::operator=(OutputFile&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) ::CloseHandle(to_handle(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

OutputFile::~OutputFile() {
  if (handle_ != -1) ::CloseHandle(to_handle(handle_));
}

std::variant<OutputFile, OsError> OutputFile::create(const std::string& path) {
  const std::wstring wide = utf16_from_utf8(path);
  HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return last_error();
  OutputFile file;
  file.handle_ = reinterpret_cast<std::intptr_t>(handle);
  return file;
}

std::variant<std::size_t, OsError> OutputFile::write_some(std::string_view bytes) {
  const auto chunk = static_cast<DWORD>(std::min(bytes.size(), kLargestTransfer));
  DWORD written = 0;
  if (!::WriteFile(to_handle(handle_), bytes.data(), chunk, &written, nullptr)) {
    return last_error();
  }
  return static_cast<std::size_t>(written);
}

std::optional<OsError> OutputFile::close() {
  const std::intptr_t handle = std::exchange(handle_, -1);
  if (handle != -1 && !::CloseHandle(to_handle(handle))) return last_error();
  return std::nullopt;
}

// Not done here: committed memory of a process is brought in at its first write.
bool can_prepare_pages() { return false; }

bool prepare_pages(char*, std::size_t) { return false; }

std::optional<SocketAddress> literal_address(const std::string& host, std::uint16_t port) {
  // The conversion itself needs no socket library, but what follows does; starting it here keeps
  // it before the first address of the first exchange.
  start_sockets();
  SocketAddress address;
  sockaddr_in v4{};
  if (::inet_pton(AF_INET, host.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = ::htons(port);
    std::memcpy(address.storage.data(), &v4, sizeof v4);
    address.length = sizeof v4;
    address.family = AF_INET;
    return address;
  }
  sockaddr_in6 v6{};
  if (::inet_pton(AF_INET6, host.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = ::htons(port);
    std::memcpy(address.storage.data(), &v6, sizeof v6);
    address.length = sizeof v6;
    address.family = AF_INET6;
    return address;
  }
  return std::nullopt;
}

std::variant<std::vector<SocketAddress>, std::string> resolve(const std::string& host,
                                                              std::uint16_t port) {
  if (auto error = start_sockets()) return describe(*error);
  ADDRINFOW hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  ADDRINFOW* found = nullptr;
  const std::wstring wide_host = utf16_from_utf8(host);
  const std::wstring service = std::to_wstring(port);
  // The resolver's failures are socket error numbers, described like any other.
  const int rc = ::GetAddrInfoW(wide_host.c_str(), service.c_str(), &hints, &found);
  if (rc != 0) return describe(OsError{rc});
  std::vector<SocketAddress> addresses;
  for (ADDRINFOW* entry = found; entry != nullptr; entry = entry->ai_next) {
    if (entry->ai_addrlen > sizeof(SocketAddress{}.storage)) continue;
    SocketAddress address;
    std::memcpy(address.storage.data(), entry->ai_addr, entry->ai_addrlen);
    address.length = static_cast<int>(entry->ai_addrlen);
    address.family = entry->ai_family;
    addresses.push_back(address);
  }
  ::FreeAddrInfoW(found);
  return addresses;
}

TcpStream::TcpStream(TcpStream&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}

TcpStream& TcpStream::operator=(TcpStream&& other) noexcept {
  if (this != &other) {
    if (handle_ != -1) ::closesocket(to_socket(handle_));
    handle_ = std::exchange(other.handle_, -1);
  }
  return *this;
}

TcpStream::~TcpStream() {
  if (handle_ != -1) ::closesocket(to_socket(handle_));
}

std::variant<TcpStream, OsError> TcpStream::connect(const SocketAddress& address) {
  if (auto error = start_sockets()) return *error;
  const SOCKET socket = ::socket(address.family, SOCK_STREAM, IPPROTO_TCP);
  if (socket == INVALID_SOCKET) return last_socket_error();
  TcpStream stream;
  stream.handle_ = static_cast<std::intptr_t>(socket);
  const auto* target = reinterpret_cast<const sockaddr*>(address.storage.data());
  if (::connect(socket, target, address.length) != 0) return last_socket_error();
  return stream;
}

std::optional<OsError> TcpStream::set_receive_timeout(std::uint32_t milliseconds) {
  const DWORD timeout = milliseconds;
  if (::setsockopt(to_socket(handle_), SOL_SOCKET, SO_RCVTIMEO,
                   reinterpret_cast<const char*>(&timeout), sizeof timeout) != 0) {
    return last_socket_error();
  }
  return std::nullopt;
}

std::variant<std::size_t, OsError> TcpStream::send_some(std::string_view bytes) {
  const auto chunk = static_cast<int>(std::min(bytes.size(), kLargestTransfer));
  for (;;) {
    const int n = ::send(to_socket(handle_), bytes.data(), chunk, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (::WSAGetLastError() != WSAEINTR) return last_socket_error();
  }
}

std::variant<std::size_t, OsError> TcpStream::receive_some(char* buffer, std::size_t capacity) {
  const auto chunk = static_cast<int>(std::min(capacity, kLargestTransfer));
  for (;;) {
    const int n = ::recv(to_socket(handle_), buffer, chunk, 0);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (::WSAGetLastError() != WSAEINTR) return last_socket_error();
  }
}

}  // namespace platform
