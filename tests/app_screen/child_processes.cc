#include "child_processes.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace screen_testing {

void become_subreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 1); }

std::vector<pid_t> children_of(pid_t pid) {
  std::vector<pid_t> children;
  std::error_code error;
  for (const auto& task :
       std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", error)) {
    std::ifstream in(task.path() / "children");
    for (pid_t child; in >> child;) children.push_back(child);
  }
  return children;
}

namespace {

// The real user id of `pid`, or -1 when it has gone.
long user_of(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Uid:", 0) == 0) return std::stol(line.substr(4));
  }
  return -1;
}

}  // namespace

void reap_children_of_user(uid_t uid) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    bool waiting = false;
    for (pid_t child : children_of(::getpid())) {
      if (user_of(child) != static_cast<long>(uid)) continue;
      if (::waitpid(child, nullptr, WNOHANG) == 0) {
        waiting = true;
        if (std::chrono::steady_clock::now() > deadline) end_process(child);
      }
    }
    if (!waiting) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

void end_process(pid_t pid) {
  if (pid <= 0) return;
  ::kill(pid, SIGTERM);
  // Gone once waited for, or (not being this process's child) once the kernel no longer knows it.
  const auto gone = [pid] {
    const pid_t waited = ::waitpid(pid, nullptr, WNOHANG);
    return waited == pid || (waited < 0 && errno == ECHILD && ::kill(pid, 0) != 0);
  };
  for (int i = 0; i < 400; ++i) {
    if (gone()) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  ::kill(pid, SIGKILL);
  for (int i = 0; i < 400 && !gone(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

}  // namespace screen_testing
