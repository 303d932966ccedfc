// Runs a built program as a user would, and collects what it did.
#pragma once

#include <cstddef>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace testing_support {

struct RunResult {
  int exit_status = -1;  // the exit code, or -1 when the program died from a signal
  std::string out;
  std::string err;
};

struct RunOptions {
  // Environment changes: a value sets the variable, nullopt removes it. TIRVANE_PORT is removed
  // unless set here.
  std::map<std::string, std::optional<std::string>> env;
  std::string working_dir;  // empty: the test's own
  // When set, the program runs with at most this much address space (RLIMIT_AS), so that an
  // allocation beyond it fails as it would on a machine out of memory.
  std::optional<std::size_t> address_space_limit;
};

// Runs the client with `args` (program name not included). The client is the built tirvane,
// or the command named by TIRVANE_TEST_CLIENT (words separated by spaces, e.g. "wine x.exe").
RunResult run_client(const std::vector<std::string>& args, const RunOptions& options = {});

// Runs `argv` (program first) with the options above.
RunResult run_program(const std::vector<std::string>& argv, const RunOptions& options = {});

// True when the client under test is the Windows build (its error texts differ).
bool client_is_windows();

}  // namespace testing_support
