// A crowd of clients that would each hold a thread of a service that gave one to every
// connection: connections that say nothing or send their request head a line at a time and never
// finish it, clients that never read their large answers, and requests to a camera that never
// answers (StalledCamera), all open at once against a running tirvane-app. Used by the
// starvation tests and the crowd benchmark.
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "raw_http.h"
#include "service_process.h"

namespace service_test {

// A camera on 127.0.0.1 that takes connections into its backlog and never answers.
class StalledCamera {
 public:
  StalledCamera();
  ~StalledCamera();
  StalledCamera(const StalledCamera&) = delete;
  StalledCamera& operator=(const StalledCamera&) = delete;
  int port() const { return port_; }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// Writes a sources file into `config` (the service's XDG_CONFIG_HOME) registering the stalled
// camera as "stalled", and enough long-named others that GET /api/sources is an answer of about
// 800 KB, more than the sockets between a client and the service hold.
void write_crowd_sources(const std::string& config, int stalled_port);

// The descriptor limit raised for a crowd: the soft limit to the hard one. The limit now.
std::size_t raise_descriptor_limit_for_crowd();

struct CrowdSize {
  int idle = 500;         // half say nothing, half send a header line every 400 ms
  int slow_readers = 64;  // ask for the source list with a 4 KiB receive buffer, and do not read
  int abandoned = 64;     // ask the stalled camera for a frame
};

// How often `part` appears in the service's log.
std::size_t count_in_log(const ServiceProcess& service, const std::string& part);
// Waits until `part` appears `count` times in the service's log, or `timeout` passes.
void wait_for_log(const ServiceProcess& service, const std::string& part, std::size_t count,
                  std::chrono::milliseconds timeout);

inline const std::string kStalledTarget = "/api/frame.jpg?_=&device=net:stalled";

class Crowd {
 public:
  // Opens every connection and sends what each sends; throws when one cannot connect. Then waits
  // (10 s at most) until the service has logged the slow readers' answers: a service that keeps
  // a thread for each slow reader logs them only once they are read.
  Crowd(const ServiceProcess& service, CrowdSize size);
  ~Crowd();
  Crowd(const Crowd&) = delete;
  Crowd& operator=(const Crowd&) = delete;

  // The requests to the stalled camera go away (their connections are closed).
  void abandon();
  // The slow readers read at last: their answers.
  std::vector<Answer> read_slow_answers();
  // The idle connections stop sending and close.
  void disperse();

 private:
  std::vector<std::unique_ptr<RawConnection>> idle_, slow_readers_, abandoned_;
  std::atomic<bool> trickling_{true};
  std::thread trickle_;
};

}  // namespace service_test
