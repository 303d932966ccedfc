#include "fake_service.h"

#include "loopback.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

namespace testing_support {
namespace {

std::string read_request(int fd) {
  std::string data;
  char buffer[65536];
  std::size_t expected = std::string::npos;
  for (;;) {
    if (expected != std::string::npos && data.size() >= expected) break;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) break;  // a client that says no more
    ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
    if (expected == std::string::npos) {
      std::size_t end = data.find("\r\n\r\n");
      if (end == std::string::npos) continue;
      std::size_t length = 0;
      std::size_t at = data.find("\r\nContent-Length: ");
      if (at != std::string::npos && at < end) length = std::stoul(data.substr(at + 18));
      expected = end + 4 + length;
    }
  }
  return data;
}

// False when the peer has gone.
bool send_all(int fd, const std::string& bytes) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

Reply reply(std::string bytes) { return Reply{{std::move(bytes)}}; }

Reply json_reply(int status, const std::string& body) {
  return reply("HTTP/1.1 " + std::to_string(status) +
               " X\r\nContent-Type: application/json\r\nContent-Length: " +
               std::to_string(body.size()) + "\r\n\r\n" + body);
}

FakeService::FakeService() {
  const LoopbackListener listener = listen_on_loopback(16);
  listener_ = listener.fd;
  port_ = listener.port;
  thread_ = std::thread([this] { serve(); });
}

FakeService::~FakeService() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  ::shutdown(listener_, SHUT_RDWR);
  thread_.join();
  ::close(listener_);
}

void FakeService::add(Reply reply) {
  std::lock_guard lock(mutex_);
  script_.push_back(Scripted{std::move(reply), std::string()});
}

void FakeService::add_endless(Reply reply, std::string repeated) {
  std::lock_guard lock(mutex_);
  script_.push_back(Scripted{std::move(reply), std::move(repeated)});
}

std::vector<std::string> FakeService::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

void FakeService::serve() {
  for (;;) {
    pollfd p{listener_, POLLIN, 0};
    int ready = ::poll(&p, 1, 100);
    {
      std::lock_guard lock(mutex_);
      if (stopping_) return;
    }
    if (ready <= 0) continue;
    int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) continue;
    std::string request = read_request(fd);
    Scripted next;
    {
      std::lock_guard lock(mutex_);
      requests_.push_back(std::move(request));
      if (!script_.empty()) {
        next = std::move(script_.front());
        script_.pop_front();
      }
    }
    for (const std::string& piece : next.reply.pieces) {
      if (next.reply.pause.count() > 0) std::this_thread::sleep_for(next.reply.pause);
      send_all(fd, piece);
    }
    if (!next.repeated.empty()) {
      // Until the client closes (a send fails) or the service stops.
      while (send_all(fd, next.repeated)) {
        std::lock_guard lock(mutex_);
        if (stopping_) break;
      }
    }
    ::close(fd);
  }
}

std::uint16_t unused_port() {
  const LoopbackListener listener = listen_on_loopback(1);
  ::close(listener.fd);
  return listener.port;
}

std::string make_temp_dir() {
  const char* root = std::getenv("TMPDIR");
  std::string pattern = std::string(root && *root ? root : "/tmp") + "/tirvane-test-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
  return pattern;
}

}  // namespace testing_support
