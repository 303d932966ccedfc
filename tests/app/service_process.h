// Runs the built tirvane-app in the background for a test: on a free port, with its own config
// folder, its standard error collected in a file so that its log can be read at any time.
#pragma once

#include <sys/types.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace service_test {

class ServiceProcess {
 public:
  // Starts `tirvane-app --request-timeout 1` plus `args`, with XDG_CONFIG_HOME set to
  // `config_home`, and waits until it says where it listens. Unless `args` or TIRVANE_PORT in
  // `env` name a port, it is started with --port 0, on a free port. `env` sets (or with
  // nullopt, removes) further variables.
  // With `run_as`, it runs as that user and group (through setpriv; the test must be root);
  // `program` is a copy of the built program that user can reach, when the build's cannot be.
  explicit ServiceProcess(std::string config_home, std::vector<std::string> args = {},
                          std::map<std::string, std::optional<std::string>> env = {},
                          std::optional<uid_t> run_as = std::nullopt, std::string program = "");
  ~ServiceProcess();
  ServiceProcess(const ServiceProcess&) = delete;
  ServiceProcess& operator=(const ServiceProcess&) = delete;

  bool started() const { return port_ > 0; }
  int port() const { return port_; }
  pid_t pid() const { return pid_; }
  std::string port_text() const { return std::to_string(port_); }

  // Everything it has written to standard error so far.
  std::string log() const;

  // Sends `signal` and waits; the exit status, or -1 when it died of a signal.
  int stop(int signal);

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string log_path_;
};

// The path of the built program.
std::string app_path();

}  // namespace service_test
