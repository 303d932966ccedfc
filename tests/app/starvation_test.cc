// Work whose client has gone: requests abandoned while a camera stalls end at once, and the
// service keeps answering others meanwhile.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <thread>

#include "service_fixture.h"

namespace service_test {
namespace {

using Clock = std::chrono::steady_clock;

// A camera that takes connections into its backlog and never answers.
class StalledCamera {
 public:
  StalledCamera() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::listen(fd_, 256);
    socklen_t length = sizeof address;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
  }
  ~StalledCamera() { ::close(fd_); }
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

std::size_t count_of(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
  return n;
}

double millis_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

using Abandoned = ServiceTest;

TEST_F(Abandoned, RequestsLeftByTheirClientsStopWithinASecondOrSo) {
  StalledCamera camera;
  ASSERT_EQ(post("/api/sources", R"({"name":"stalled","url":"http://127.0.0.1:)" +
                                     std::to_string(camera.port()) + R"(/shot.jpg"})")
                .status,
            200);
  constexpr int kAbandoned = 16;
  const std::string target = "/api/frame.jpg?_=&device=net:stalled";
  std::vector<std::unique_ptr<RawConnection>> clients;
  for (int i = 0; i < kAbandoned; ++i) {
    clients.push_back(std::make_unique<RawConnection>(port()));
    ASSERT_TRUE(clients.back()->send(get_request(port(), target)));
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  // Meanwhile the service answers others.
  const Clock::time_point asked = Clock::now();
  EXPECT_EQ(get("/api/health").status, 200);
  const double health_ms = millis_since(asked);
  const Clock::time_point framed = Clock::now();
  EXPECT_EQ(get("/api/frame.jpg?_=&device=test&width=320&height=240").status, 200);
  const double frame_ms = millis_since(framed);

  clients.clear();  // every client goes away
  const Clock::time_point left = Clock::now();
  const std::string ended = "GET " + target + " 503 ";
  while (count_of(service.log(), ended) < kAbandoned && millis_since(left) < 30'000) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  const double drained_ms = millis_since(left);
  std::cerr << "with " << kAbandoned << " requests waiting on a stalled camera: /health " << health_ms
            << " ms, a test camera frame " << frame_ms << " ms; all " << kAbandoned
            << " ended " << drained_ms << " ms after their clients left\n";
  EXPECT_EQ(count_of(service.log(), ended), static_cast<std::size_t>(kAbandoned)) << service.log();
  // curl looks in on a stalled transfer once a second; the rest is slack for a loaded machine.
  EXPECT_LT(drained_ms, 3000) << service.log();
  EXPECT_LT(health_ms, 1000);
  EXPECT_LT(frame_ms, 2000);
}

}  // namespace
}  // namespace service_test
