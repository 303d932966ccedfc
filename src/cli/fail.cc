#include "cli/fail.h"

#include <string>

#include "platform/platform.h"

void finish(int status) {
  if (auto error = platform::flush_stdout(); error && status == kExitSuccess) {
    platform::write_stderr("error: cannot write standard output: " + platform::describe(*error) +
                           "\n");
    status = kExitFailure;
  }
  platform::exit_process(status);
}

void fail(std::string_view message) {
  std::string report = "error: ";
  report.append(message).append("\n");
  platform::write_stderr(report);
  finish(kExitFailure);
}
