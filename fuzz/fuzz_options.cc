// Option lookups over arbitrary argument vectors (arguments separated by NUL bytes).
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/options.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::string> args{"tirvane"};
  std::string current;
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0) {
      args.push_back(current);
      current.clear();
    } else {
      current.push_back(static_cast<char>(data[i]));
    }
  }
  args.push_back(current);
  set_arguments(args);

  const std::vector<std::string> positional = positional_args();
  for (const std::string& word : positional) {
    if (is_option_word(word)) std::abort();
  }
  for (const char* name : {"device", "out", "secs", "format", "size", "port", "json"}) {
    std::optional<std::string> value = option_value(name);
    if (!value) continue;
    // A value comes from "--NAME=VALUE", or from the word after "--NAME", never an option word.
    const std::string joined = std::string("--") + name + "=" + *value;
    bool found = false;
    for (std::size_t i = 0; i < args.size() && !found; ++i) {
      found = args[i] == joined ||
              (args[i] == std::string("--") + name && i + 1 < args.size() &&
               args[i + 1] == *value && !is_option_word(*value));
    }
    if (!found) std::abort();
  }
  bool exact = false;
  for (const std::string& a : args) exact = exact || a == "--json";
  if (wants_json() != exact) std::abort();
  return 0;
}
