// Where the service keeps its settings between runs.
#pragma once

#include <string>

namespace app {

// $XDG_CONFIG_HOME/tirvane when that is an absolute path, else ~/.config/tirvane; empty when
// there is no home folder either.
std::string default_config_folder();

}  // namespace app
