#include "app/config_folder.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>

namespace app {
namespace {

bool is_absolute(const char* path) { return path != nullptr && path[0] == '/'; }

}  // namespace

std::string default_config_folder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); is_absolute(xdg)) {
    return std::string(xdg) + "/tirvane";
  }
  if (const char* home = std::getenv("HOME"); is_absolute(home)) {
    return std::string(home) + "/.config/tirvane";
  }
  if (const passwd* user = ::getpwuid(::getuid()); user != nullptr && is_absolute(user->pw_dir)) {
    return std::string(user->pw_dir) + "/.config/tirvane";
  }
  return {};
}

}  // namespace app
