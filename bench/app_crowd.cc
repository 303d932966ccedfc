// How fast the service answers /health and a small test camera frame while a crowd of clients
// that would each hold a thread of a thread-per-connection server is connected: 500 connections
// that say nothing or send their head a line at a time, 64 clients that never read their 800 KB
// answers, and 64 requests to a camera that never answers (tests/app/crowd.h). Prints latency
// percentiles of both probes, how long the stalled camera's requests took to end once their
// clients left, and whether the slow readers got their answers whole.
//
//   app_crowd [--rounds N] [--timeout-ms MS] [APP...]
//
// Each APP (a tirvane-app binary; default: this build's) is run in turn under the same load; give
// an older build after the new one to compare. A probe that gets no answer within the timeout
// (default 15 s) counts as failed at the timeout.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "crowd.h"
#include "fake_service.h"
#include "raw_http.h"
#include "service_process.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace service_test;

double millis_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

double percentile(std::vector<double> values, double p) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const auto at = static_cast<std::size_t>(p / 100 * static_cast<double>(values.size() - 1) + 0.5);
  return values[std::min(at, values.size() - 1)];
}

void print_probe(const char* name, const std::vector<double>& ms, int failed) {
  std::printf(
      "  %-22s p50 %9.2f ms  p90 %9.2f ms  p99 %9.2f ms  max %9.2f ms  (%zu probes, %d failed)\n",
      name, percentile(ms, 50), percentile(ms, 90), percentile(ms, 99), percentile(ms, 100),
      ms.size(), failed);
}

int run(const std::string& app, int rounds, std::chrono::milliseconds timeout) {
  ::setenv("TIRVANE_APP_UNDER_TEST", app.c_str(), 1);
  StalledCamera camera;
  const std::string config = testing_support::make_temp_dir();
  write_crowd_sources(config, camera.port());
  ServiceProcess service(config, {"--request-timeout", "10"});
  if (!service.started()) {
    std::fprintf(stderr, "%s did not start:\n%s\n", app.c_str(), service.log().c_str());
    return 1;
  }
  const int port = service.port();
  const Answer listed = get(port, "/api/sources");

  const CrowdSize size;
  Crowd crowd(service, size);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  std::vector<double> health, frame;
  int health_failed = 0, frame_failed = 0;
  for (int round = 0; round < rounds; ++round) {
    Clock::time_point asked = Clock::now();
    if (round_trip(port, get_request(port, "/api/health"), timeout).status != 200) ++health_failed;
    health.push_back(millis_since(asked));
    asked = Clock::now();
    if (round_trip(port, get_request(port, "/api/frame.jpg?_=&device=test&width=320&height=240"),
                   timeout)
            .status != 200) {
      ++frame_failed;
    }
    frame.push_back(millis_since(asked));
  }
  crowd.disperse();
  crowd.abandon();
  const Clock::time_point left = Clock::now();
  const std::string ended = "GET " + kStalledTarget + " 503 ";
  wait_for_log(service, ended, static_cast<std::size_t>(size.abandoned), std::chrono::seconds(30));
  const double drained = millis_since(left);
  const std::size_t drained_count = count_in_log(service, ended);
  int whole = 0;
  for (const Answer& answer : crowd.read_slow_answers()) {
    if (answer.status == 200 && answer.body == listed.body) ++whole;
  }

  std::printf(
      "%s\n  load: %d idle or slow connections, %d slow readers (%zu-byte answers), %d "
      "requests on a stalled camera\n",
      app.c_str(), size.idle, size.slow_readers, listed.body.size(), size.abandoned);
  print_probe("/health", health, health_failed);
  print_probe("test camera 320x240", frame, frame_failed);
  std::printf("  stalled camera: %zu of %d requests ended %.0f ms after their clients left\n",
              drained_count, size.abandoned, drained);
  std::printf("  slow readers: %d of %d got their answer whole\n", whole, size.slow_readers);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  int rounds = 20;
  std::chrono::milliseconds timeout{15'000};
  std::vector<std::string> apps;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--rounds") == 0 && i + 1 < argc) {
      rounds = std::atoi(argv[++i]);
    } else if (std::strcmp(argv[i], "--timeout-ms") == 0 && i + 1 < argc) {
      timeout = std::chrono::milliseconds(std::atoi(argv[++i]));
    } else {
      apps.emplace_back(argv[i]);
    }
  }
  if (apps.empty()) apps.push_back(app_path());
  if (raise_descriptor_limit_for_crowd() < 1024) {
    std::fprintf(stderr, "too few descriptors for the crowd\n");
    return 1;
  }
  int status = 0;
  for (const std::string& app : apps) status |= run(app, rounds, timeout);
  return status;
}
