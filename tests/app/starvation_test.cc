// Clients that cannot starve the service: requests abandoned while a camera stalls end at once;
// idle connections, clients that send their requests a byte at a time or read their answers
// slowly hold no thread; the service keeps answering others meanwhile.
#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>

#include "crowd.h"
#include "service_fixture.h"

namespace service_test {
namespace {

using Clock = std::chrono::steady_clock;

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

// A stalled camera keeps a bounded number of requests waiting: beyond eight, each is refused at
// once, naming the camera.
TEST_F(Abandoned, BeyondEightWaitingRequestsADeviceRefusesAtOnce) {
  StalledCamera camera;
  ASSERT_EQ(post("/api/sources", R"({"name":"stalled","url":"http://127.0.0.1:)" +
                                     std::to_string(camera.port()) + R"(/shot.jpg"})")
                .status,
            200);
  // One fetching, eight waiting, three too many.
  std::vector<std::unique_ptr<RawConnection>> clients;
  for (int i = 0; i < 12; ++i) {
    clients.push_back(std::make_unique<RawConnection>(port()));
    ASSERT_TRUE(clients.back()->send(get_request(port(), kStalledTarget)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  int refused = 0, still_waiting = 0;
  for (auto& client : clients) {
    const Answer answer = client->read_answer(std::chrono::milliseconds(300));
    if (answer.status == 0) {
      ++still_waiting;
      continue;
    }
    EXPECT_EQ(answer.status, 503);
    EXPECT_EQ(answer.error(),
              "device net:stalled is busy: 8 requests are already waiting for it; try again later");
    ++refused;
  }
  EXPECT_EQ(refused, 3);
  EXPECT_EQ(still_waiting, 9);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// 500 connections that say nothing or send their head a line at a time, 64 clients that never
// read their 800 KB answers, and 64 requests to a camera that never answers, all at once:
// /health and a test camera frame are still answered at once, the stalled camera's requests
// end soon after their clients leave, and every slow reader gets its answer whole when it reads.
TEST(Crowded, HealthAndTestCameraAnswerAtOnceAmongIdleSlowAndAbandonedClients) {
  // The test's own connections need more descriptors than the usual soft limit of 1024.
  ASSERT_GE(raise_descriptor_limit_for_crowd(), 1024u) << "too few descriptors for the crowd";

  StalledCamera camera;
  const std::string config = testing_support::make_temp_dir();
  write_crowd_sources(config, camera.port());
  // With the usual request deadline, so that an idle connection would hold a thread for 10 s.
  ServiceProcess service(config, {"--request-timeout", "10"});
  ASSERT_TRUE(service.started()) << service.log();
  const int port = service.port();
  const Answer listed = get(port, "/api/sources");
  ASSERT_EQ(listed.status, 200);
  ASSERT_GT(listed.body.size(), 700'000u);

  const CrowdSize size;
  Crowd crowd(service, size);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));

  std::vector<double> health_ms, frame_ms;
  for (int round = 0; round < 5; ++round) {
    Clock::time_point asked = Clock::now();
    EXPECT_EQ(get(port, "/api/health").status, 200);
    health_ms.push_back(millis_since(asked));
    asked = Clock::now();
    EXPECT_EQ(get(port, "/api/frame.jpg?_=&device=test&width=320&height=240").status, 200);
    frame_ms.push_back(millis_since(asked));
  }
  crowd.disperse();
  crowd.abandon();
  const Clock::time_point left = Clock::now();
  const std::string ended = "GET " + kStalledTarget + " 503 ";
  wait_for_log(service, ended, static_cast<std::size_t>(size.abandoned), std::chrono::seconds(30));
  const double drained_ms = millis_since(left);

  int whole = 0;
  for (const Answer& answer : crowd.read_slow_answers()) {
    if (answer.status == 200 && answer.body == listed.body) ++whole;
  }
  std::cerr << "with " << size.idle << " idle or slow connections, " << size.slow_readers
            << " slow readers and " << size.abandoned
            << " requests on a stalled camera: /health median " << median(health_ms) << " ms, max "
            << *std::max_element(health_ms.begin(), health_ms.end())
            << " ms; a test camera frame median " << median(frame_ms) << " ms, max "
            << *std::max_element(frame_ms.begin(), frame_ms.end()) << " ms; the stalled camera's "
            << "requests all ended " << drained_ms << " ms after their clients left; " << whole
            << " of " << size.slow_readers << " slow readers got their answer whole\n";
  for (double ms : health_ms) EXPECT_LT(ms, 1000);
  for (double ms : frame_ms) EXPECT_LT(ms, 1000);
  EXPECT_EQ(count_of(service.log(), ended), static_cast<std::size_t>(size.abandoned))
      << service.log();
  EXPECT_LT(drained_ms, 3000);
  EXPECT_EQ(whole, size.slow_readers);
}

// The service keeps a bounded number of connections: once there are too many, the oldest that
// has not sent its whole request head is closed to make room, and the service still answers.
TEST(Crowded, TooManyConnectionsCloseTheOldestUnfinishedOne) {
  constexpr std::size_t kMost = 10'000;
  if (raise_descriptor_limit_for_crowd() < kMost + 500) {
    GTEST_SKIP() << "too few descriptors to open " << kMost << " connections";
  }
  ServiceProcess service(testing_support::make_temp_dir(), {"--request-timeout", "10"});
  ASSERT_TRUE(service.started()) << service.log();
  RawConnection oldest(service.port());
  ASSERT_TRUE(oldest.send("GET /api/health HTTP/1.1\r\n"));
  std::vector<std::unique_ptr<RawConnection>> crowd;
  bool closed = false;
  while (!closed && crowd.size() < kMost) {
    // Each sends the start of a request, and they come in batches with a pause: a connection
    // the listening socket's queue had no room for, and that sends nothing, is never accepted.
    for (int i = 0; i < 100; ++i) {
      crowd.push_back(std::make_unique<RawConnection>(service.port()));
      ASSERT_TRUE(crowd.back()->send("G"));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const Answer answer = oldest.read_answer(std::chrono::milliseconds(1));
    ASSERT_EQ(answer.status, 0) << "the oldest connection was answered, not closed";
    closed = answer.closed;
  }
  if (!closed) {
    const Answer last = oldest.read_answer(std::chrono::seconds(5));
    EXPECT_EQ(last.status, 0) << "the oldest connection was answered, not closed";
    closed = last.closed;
  }
  std::cerr << "the oldest unfinished connection was closed among " << crowd.size() + 1
            << " connections\n";
  EXPECT_TRUE(closed) << "still open among " << crowd.size() + 1 << " connections";
  EXPECT_EQ(get(service.port(), "/api/health").status, 200);
}

}  // namespace
}  // namespace service_test
