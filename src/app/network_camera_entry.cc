#include "app/network_camera_entry.h"

#include <algorithm>
#include <cctype>

#include "app/net/source_url.h"
#include "app/text.h"

namespace app {
namespace {

constexpr std::size_t kMaxName = 32;

}  // namespace

std::optional<std::string> source_name_problem(std::string_view name) {
  const bool word =
      !name.empty() && name.size() <= kMaxName && std::all_of(name.begin(), name.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_';
      });
  if (word) return std::nullopt;
  return "a source name is 1 to 32 letters, digits, - and _ (e.g. phone), not \"" +
         clip_for_message(name, 40) + "\"";
}

std::optional<std::string> source_url_problem(std::string_view url) {
  return net::source_url_problem(url);
}

}  // namespace app
