// Starting the helper processes of a test (display servers, buses, the service): each gets
// /dev/null as input and its output in a file or nowhere, and is ended by its process id by
// whoever started it.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct SpawnOptions {
  // Where standard output and standard error go, appended; empty: /dev/null.
  std::string output;
  mode_t output_mode = 0600;  // of the output file when it is made
  // The whole environment as NAME=value entries; not set: this process's own.
  std::optional<std::vector<std::string>> environment;
  // Descriptors this process holds that the child must not keep.
  std::vector<int> close_in_child;
};

// Starts `argv` (the program first, looked up in PATH unless it holds a slash) and returns its
// process id, or -1 when it could not be started.
pid_t spawn_process(std::vector<std::string> argv, const SpawnOptions& options = {});

}  // namespace testing_support
