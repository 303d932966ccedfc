// A registered phone or IP camera: the device "net:<name>" fetches its picture from `url`.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace app {

struct NetworkCameraEntry {
  std::string name;  // letters, digits, "-" and "_"
  std::string url;   // http:// or https://
};

// Why a name or a URL cannot be registered, or nothing when it can. Names are 1 to 32 letters,
// digits, "-" and "_"; URLs start with http:// or https://, name a host, have no spaces or
// control characters, and are at most 2048 bytes.
std::optional<std::string> source_name_problem(std::string_view name);
std::optional<std::string> source_url_problem(std::string_view url);

}  // namespace app
