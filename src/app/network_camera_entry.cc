#include "app/network_camera_entry.h"

#include <algorithm>
#include <cctype>

#include "app/text.h"

namespace app {
namespace {

constexpr std::size_t kMaxName = 32;
constexpr std::size_t kMaxUrl = 2048;

bool starts_with_ci(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         std::equal(prefix.begin(), prefix.end(), text.begin(), [](char a, char b) {
           return std::tolower(static_cast<unsigned char>(a)) ==
                  std::tolower(static_cast<unsigned char>(b));
         });
}

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
  std::string_view rest;
  if (starts_with_ci(url, "http://")) {
    rest = url.substr(7);
  } else if (starts_with_ci(url, "https://")) {
    rest = url.substr(8);
  } else {
    return "the URL must start with http:// or https://, e.g. http://192.168.1.50:8080/shot.jpg";
  }
  if (url.size() > kMaxUrl) return std::string("the URL is longer than 2048 bytes");
  if (std::any_of(url.begin(), url.end(), [](char c) {
        const auto byte = static_cast<unsigned char>(c);
        return byte <= 0x20 || byte == 0x7F;
      })) {
    return std::string("the URL must not contain spaces or control characters");
  }
  if (rest.empty() || rest.front() == '/' || rest.front() == ':' || rest.front() == '?') {
    return std::string("the URL names no host");
  }
  return std::nullopt;
}

}  // namespace app
