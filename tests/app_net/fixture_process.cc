#include "fixture_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

namespace testing_support {

std::string fixtures_folder() { return TIRVANE_NET_FIXTURES; }

FixtureProcess::FixtureProcess(const std::string& script, const std::vector<std::string>& args) {
  int out[2];
  if (::pipe2(out, O_CLOEXEC) != 0) return;
  std::vector<std::string> words{"/usr/bin/python3", fixtures_folder() + "/" + script};
  words.insert(words.end(), args.begin(), args.end());
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(out[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (std::string& word : words) argv.push_back(word.data());
    argv.push_back(nullptr);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  if (pid_ < 0) {
    ::close(out[0]);
    return;
  }
  // The first line says the port; GStreamer can take a few seconds to load its plugins.
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (std::chrono::steady_clock::now() < give_up) {
    pollfd wait{out[0], POLLIN, 0};
    if (::poll(&wait, 1, 200) <= 0) continue;
    char buffer[512];
    const ssize_t n = ::read(out[0], buffer, sizeof buffer);
    if (n <= 0) break;
    output_.append(buffer, static_cast<std::size_t>(n));
    const std::size_t at = output_.find("port ");
    if (at != std::string::npos && output_.find('\n', at) != std::string::npos) {
      port_ = std::atoi(output_.c_str() + at + 5);
      break;
    }
  }
  // Nothing more is read: a fixture writes nothing after its port line (Python ignores the
  // broken pipe should a library print a warning).
  ::close(out[0]);
}

FixtureProcess::~FixtureProcess() {
  if (pid_ <= 0) return;
  ::kill(pid_, SIGTERM);
  int status = 0;
  for (int i = 0; i < 50; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
    ::usleep(20'000);
  }
  ::kill(pid_, SIGKILL);
  ::waitpid(pid_, &status, 0);
}

}  // namespace testing_support
