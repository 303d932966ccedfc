#include "run_program.h"

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace testing_support {
namespace {

std::vector<std::string> client_command() {
  const char* custom = std::getenv("TIRVANE_TEST_CLIENT");
  if (custom == nullptr || *custom == '\0') return {TIRVANE_CLIENT_PATH};
  std::vector<std::string> words;
  std::istringstream in(custom);
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

std::vector<std::string> build_environment(const RunOptions& options) {
  std::map<std::string, std::optional<std::string>> changes = options.env;
  if (!changes.count("TIRVANE_PORT")) changes["TIRVANE_PORT"] = std::nullopt;
  std::vector<std::string> result;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    std::string text = *entry;
    std::string name = text.substr(0, text.find('='));
    if (!changes.count(name)) result.push_back(text);
  }
  for (const auto& [name, value] : changes) {
    if (value) result.push_back(name + "=" + *value);
  }
  return result;
}

}  // namespace

bool client_is_windows() {
  const char* custom = std::getenv("TIRVANE_TEST_CLIENT");
  return custom != nullptr && std::strstr(custom, ".exe") != nullptr;
}

RunResult run_client(const std::vector<std::string>& args, const RunOptions& options) {
  std::vector<std::string> argv = client_command();
  argv.insert(argv.end(), args.begin(), args.end());
  return run_program(argv, options);
}

RunResult run_program(const std::vector<std::string>& original, const RunOptions& options) {
  std::vector<std::string> argv = original;
  if (options.address_space_limit) {
    // prlimit sets the limit on itself and then runs the program in its place.
    const std::string limit = std::to_string(*options.address_space_limit);
    argv.insert(argv.begin(), {"prlimit", "--as=" + limit + ":" + limit});
  }
  int out_pipe[2];
  int err_pipe[2];
  if (::pipe2(out_pipe, O_CLOEXEC) != 0 || ::pipe2(err_pipe, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe");
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  posix_spawn_file_actions_adddup2(&actions, err_pipe[1], 2);
  if (!options.working_dir.empty()) {
    posix_spawn_file_actions_addchdir_np(&actions, options.working_dir.c_str());
  }

  std::vector<char*> c_argv;
  for (const std::string& word : argv) c_argv.push_back(const_cast<char*>(word.c_str()));
  c_argv.push_back(nullptr);
  std::vector<std::string> env = build_environment(options);
  std::vector<char*> c_env;
  for (std::string& entry : env) c_env.push_back(entry.data());
  c_env.push_back(nullptr);

  pid_t pid = 0;
  int rc = ::posix_spawnp(&pid, c_argv[0], &actions, nullptr, c_argv.data(), c_env.data());
  posix_spawn_file_actions_destroy(&actions);
  ::close(out_pipe[1]);
  ::close(err_pipe[1]);
  if (rc != 0) throw std::runtime_error("cannot start " + argv[0]);

  RunResult result;
  pollfd fds[2] = {{out_pipe[0], POLLIN, 0}, {err_pipe[0], POLLIN, 0}};
  std::string* sinks[2] = {&result.out, &result.err};
  int open_count = 2;
  char buffer[65536];
  while (open_count > 0) {
    if (::poll(fds, 2, -1) < 0) continue;
    for (int i = 0; i < 2; ++i) {
      if (fds[i].fd < 0 || fds[i].revents == 0) continue;
      ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
      if (n > 0) {
        sinks[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(fds[i].fd);
        fds[i].fd = -1;
        --open_count;
      }
    }
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  result.exit_status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return result;
}

}  // namespace testing_support
