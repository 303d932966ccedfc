// A registered phone or IP camera: the device "net:<name>" fetches its picture from `url`.
#pragma once

#include <string>

namespace app {

struct NetworkSource {
  std::string name;  // letters, digits, "-" and "_"
  std::string url;   // http://, https://, rtsp:// or rtsps://, as registered (secrets and all)
  // A TLS certificate that cannot be verified is accepted (a camera's self-signed one), also
  // when the URL ends in "#insecure".
  bool insecure = false;
};

}  // namespace app
