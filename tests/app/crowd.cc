#include "crowd.h"

#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <thread>

#include "loopback.h"

namespace service_test {

StalledCamera::StalledCamera() {
  const testing_support::LoopbackListener listener = testing_support::listen_on_loopback(256);
  fd_ = listener.fd;
  port_ = listener.port;
}

StalledCamera::~StalledCamera() { ::close(fd_); }

void write_crowd_sources(const std::string& config, int stalled_port) {
  nlohmann::json sources = nlohmann::json::array();
  sources.push_back({{"name", "stalled"},
                     {"url", "http://127.0.0.1:" + std::to_string(stalled_port) + "/shot.jpg"}});
  for (int i = 0; i < 380; ++i) {
    sources.push_back(
        {{"name", "filler" + std::to_string(i)},
         {"url", "http://127.0.0.1:9/" + std::string(2000, static_cast<char>('a' + i % 26))}});
  }
  std::filesystem::create_directories(config + "/tirvane");
  std::ofstream(config + "/tirvane/sources.json") << nlohmann::json{{"sources", sources}}.dump();
}

std::size_t raise_descriptor_limit_for_crowd() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ::getrlimit(RLIMIT_NOFILE, &limit);
  return static_cast<std::size_t>(limit.rlim_cur);
}

std::size_t count_in_log(const ServiceProcess& service, const std::string& part) {
  const std::string log = service.log();
  std::size_t n = 0;
  for (std::size_t at = log.find(part); at != std::string::npos; at = log.find(part, at + 1)) ++n;
  return n;
}

void wait_for_log(const ServiceProcess& service, const std::string& part, std::size_t count,
                  std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (count_in_log(service, part) < count && std::chrono::steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

Crowd::Crowd(const ServiceProcess& service, CrowdSize size) {
  const int port = service.port();
  const std::size_t listed_before = count_in_log(service, "GET /api/sources 200 ");
  for (int i = 0; i < size.idle; ++i) {
    idle_.push_back(std::make_unique<RawConnection>(port));
    if (i % 2 == 1) idle_.back()->send("GET /api/health HTTP/1.1\r\n");
  }
  for (int i = 0; i < size.slow_readers; ++i) {
    slow_readers_.push_back(std::make_unique<RawConnection>(port, 4096));
    slow_readers_.back()->send(get_request(port, "/api/sources"));
  }
  for (int i = 0; i < size.abandoned; ++i) {
    abandoned_.push_back(std::make_unique<RawConnection>(port));
    abandoned_.back()->send(get_request(port, kStalledTarget));
  }
  wait_for_log(service, "GET /api/sources 200 ",
               listed_before + static_cast<std::size_t>(size.slow_readers),
               std::chrono::seconds(10));
  // Half the idle ones go on sending a header line now and then, never the blank line.
  trickle_ = std::thread([this] {
    while (trickling_) {
      for (std::size_t i = 1; i < idle_.size(); i += 2) idle_[i]->send("X-Slow: 1\r\n");
      std::this_thread::sleep_for(std::chrono::milliseconds(400));
    }
  });
}

Crowd::~Crowd() { disperse(); }

void Crowd::abandon() { abandoned_.clear(); }

std::vector<Answer> Crowd::read_slow_answers() {
  std::vector<Answer> answers;
  for (auto& reader : slow_readers_) answers.push_back(reader->read_answer());
  slow_readers_.clear();
  return answers;
}

void Crowd::disperse() {
  trickling_ = false;
  if (trickle_.joinable()) trickle_.join();
  idle_.clear();
}

}  // namespace service_test
