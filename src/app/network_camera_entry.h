// A registered phone or IP camera: the device "net:<name>" fetches its picture from `url`.
#pragma once

#include <string>

namespace app {

struct NetworkCameraEntry {
  std::string name;  // letters, digits, "-" and "_"
  std::string url;   // http:// or https://
};

}  // namespace app
