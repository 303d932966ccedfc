#include "start_process.h"

#include <fcntl.h>
#include <spawn.h>

extern char** environ;

namespace testing_support {

pid_t spawn_process(std::vector<std::string> argv, const SpawnOptions& options) {
  std::vector<char*> c_argv;
  for (std::string& word : argv) c_argv.push_back(word.data());
  c_argv.push_back(nullptr);
  std::vector<std::string> environment = options.environment.value_or(std::vector<std::string>());
  std::vector<char*> c_env;
  for (std::string& entry : environment) c_env.push_back(entry.data());
  c_env.push_back(nullptr);

  const std::string output = options.output.empty() ? "/dev/null" : options.output;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, output.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                   options.output_mode);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  for (const int fd : options.close_in_child) posix_spawn_file_actions_addclose(&actions, fd);
  pid_t pid = -1;
  const int rc = ::posix_spawnp(&pid, c_argv[0], &actions, nullptr, c_argv.data(),
                                options.environment ? c_env.data() : environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

}  // namespace testing_support
