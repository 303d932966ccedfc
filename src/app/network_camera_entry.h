// A registered phone or IP camera: the device "net:<name>" takes its picture from `url`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace app {

struct NetworkCameraEntry {
  std::string name;  // letters, digits, "-" and "_"
  std::string url;   // http://, https://, rtsp:// or rtsps://, as registered (secrets and all)
  // A TLS certificate that cannot be verified is accepted (a camera's self-signed one), also
  // when the URL ends in "#insecure".
  bool insecure = false;
};

// Why a name or a URL cannot be registered, or nothing when it can. Names are 1 to 32 letters,
// digits, "-" and "_"; URLs are http://, https://, rtsp:// or rtsps:// with a host and a valid
// port, have no spaces or control characters, and are at most 2048 bytes.
std::optional<std::string> source_name_problem(std::string_view name);
std::optional<std::string> source_url_problem(std::string_view url);

}  // namespace app
