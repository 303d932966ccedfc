// The process entry point on POSIX: arguments arrive as bytes and are passed on unchanged.
#include "platform/entry.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  platform::start_process();
  std::vector<std::string> arguments(argv, argv + argc);
  return program_main(std::move(arguments));
}
