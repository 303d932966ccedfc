// A camera of the tests run as its own process (a Python script under fixtures/): started with
// its arguments, asked for the port it listens on (its first line, "port N"), and killed by its
// process id when the test ends.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testing_support {

class FixtureProcess {
 public:
  // Runs fixtures/`script` with `args`. started() tells whether it said its port in time.
  FixtureProcess(const std::string& script, const std::vector<std::string>& args = {});
  ~FixtureProcess();
  FixtureProcess(const FixtureProcess&) = delete;
  FixtureProcess& operator=(const FixtureProcess&) = delete;

  bool started() const { return port_ > 0; }
  int port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }
  // What it wrote before its port line, or on failing to start: for the test's message.
  const std::string& output() const { return output_; }

 private:
  pid_t pid_ = -1;
  int port_ = 0;
  std::string output_;
};

// The folder of the fixture scripts.
std::string fixtures_folder();

}  // namespace testing_support
