#include "cli/options.h"

#include <utility>

namespace {
std::vector<std::string>& stored_arguments() {
  static std::vector<std::string> stored;
  return stored;
}
}  // namespace

void set_arguments(std::vector<std::string> arguments) {
  stored_arguments() = std::move(arguments);
}

const std::vector<std::string>& arguments() { return stored_arguments(); }

bool is_option_word(std::string_view argument) {
  return argument.size() >= 2 && argument.starts_with("--");
}

std::vector<std::string> positional_args() {
  const std::vector<std::string>& all = arguments();
  std::vector<std::string> positional;
  for (std::size_t i = 1; i < all.size(); ++i) {
    if (!is_option_word(all[i])) positional.push_back(all[i]);
  }
  return positional;
}

std::optional<std::string> option_value(std::string_view name) {
  const std::vector<std::string>& all = arguments();
  const std::string joined = "--" + std::string(name) + "=";
  for (const std::string& argument : all) {
    if (argument.starts_with(joined)) return argument.substr(joined.size());
  }
  const std::string separate = "--" + std::string(name);
  for (std::size_t i = 0; i < all.size(); ++i) {
    if (all[i] != separate) continue;
    if (i + 1 == all.size() || is_option_word(all[i + 1])) return std::nullopt;
    return all[i + 1];
  }
  return std::nullopt;
}

bool wants_json() {
  for (const std::string& argument : arguments()) {
    if (argument == "--json") return true;
  }
  return false;
}
