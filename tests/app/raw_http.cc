#include "raw_http.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace service_test {
namespace {

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

}  // namespace

Answer parse_answer(const std::string& bytes) {
  Answer answer;
  const std::size_t end = bytes.find("\r\n\r\n");
  if (bytes.rfind("HTTP/1.", 0) != 0 || end == std::string::npos) return answer;
  answer.status = std::atoi(bytes.c_str() + bytes.find(' ') + 1);
  std::size_t line = bytes.find("\r\n") + 2;
  while (line < end) {
    const std::size_t next = bytes.find("\r\n", line);
    const std::string text = bytes.substr(line, next - line);
    const std::size_t colon = text.find(':');
    std::string value = text.substr(colon + 1);
    value.erase(0, value.find_first_not_of(' '));
    answer.headers.emplace_back(text.substr(0, colon), value);
    line = next + 2;
  }
  answer.body = bytes.substr(end + 4);
  return answer;
}

std::string Answer::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (lower(key) == lower(name)) return value;
  }
  return "";
}

nlohmann::json Answer::json() const {
  nlohmann::json document = nlohmann::json::parse(body, nullptr, false);
  return document.is_discarded() ? nlohmann::json() : document;
}

std::string Answer::error() const {
  const nlohmann::json document = json();
  return document.is_object() && document.contains("error") && document["error"].is_string()
             ? document["error"].get<std::string>()
             : "";
}

RawConnection::RawConnection(int port, int receive_buffer) {
  fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd_ >= 0 && receive_buffer > 0) {
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
  }
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd_ < 0 || ::connect(fd_, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    throw std::runtime_error("cannot connect to port " + std::to_string(port));
  }
}

RawConnection::~RawConnection() {
  if (fd_ >= 0) ::close(fd_);
}

bool RawConnection::send(const std::string& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

std::string RawConnection::read_bytes(std::size_t at_most, std::chrono::milliseconds timeout) {
  std::string bytes;
  const auto until = std::chrono::steady_clock::now() + timeout;
  char buffer[65536];
  while (bytes.size() < at_most) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{fd_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd_, buffer, std::min(sizeof buffer, at_most - bytes.size()), 0);
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  return bytes;
}

Answer RawConnection::read_answer(std::chrono::milliseconds timeout) {
  std::string bytes;
  bool closed = false;
  const auto until = std::chrono::steady_clock::now() + timeout;
  char buffer[65536];
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        until - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd fd{fd_, POLLIN, 0};
    if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
    if (n <= 0) {
      closed = n == 0;
      break;
    }
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  Answer answer = parse_answer(bytes);
  answer.closed = closed;
  return answer;
}

Answer round_trip(int port, const std::string& request, std::chrono::milliseconds timeout) {
  RawConnection connection(port);
  connection.send(request);
  return connection.read_answer(timeout);
}

std::string get_request(int port, const std::string& target, const std::string& extra) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\nContent-Length: 0\r\n" + extra + "\r\n";
}

std::string post_request(int port, const std::string& target, const std::string& body,
                         const std::string& extra, const std::string& content_type) {
  return "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nConnection: close\r\nContent-Type: " + content_type +
         "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extra + "\r\n" + body;
}

Answer get(int port, const std::string& target, const std::string& extra) {
  return round_trip(port, get_request(port, target, extra));
}

Answer post(int port, const std::string& target, const std::string& body,
            const std::string& extra) {
  return round_trip(port, post_request(port, target, body, extra));
}

}  // namespace service_test
