// The process entry point on Windows: the command line arrives as UTF-16 and is passed on as
// UTF-8. An unpaired surrogate, which is not Unicode text, becomes U+FFFD; the rest is kept.
#include "platform/entry.h"
#include "platform/platform.h"
#include "platform/utf16_win32.h"

int wmain(int argc, wchar_t** argv) {
  platform::start_process();
  std::vector<std::string> arguments;
  arguments.reserve(static_cast<std::size_t>(argc));
  for (int i = 0; i < argc; ++i) arguments.push_back(platform::utf8_from_utf16(argv[i]));
  return program_main(std::move(arguments));
}
