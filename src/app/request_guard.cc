#include "app/request_guard.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "app/device_registry.h"
#include "app/text.h"

namespace app {
namespace {

std::string lower(std::string_view text) {
  std::string out(text);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

std::vector<std::string> values_of(const RequestHead& head, std::string_view name) {
  std::vector<std::string> values;
  for (const auto& [key, value] : head.headers) {
    if (lower(key) == name) values.push_back(value);
  }
  return values;
}

Failure from_browser(const std::string& why) {
  return Failure{FailureKind::kForbidden, "refused: this request comes from a web browser (" + why +
                                              "); the API serves only programs on this machine"};
}

}  // namespace

std::optional<Failure> guard_request(const RequestHead& head, int port, std::size_t max_body) {
  const std::string own = "127.0.0.1:" + std::to_string(port);
  const std::vector<std::string> hosts = values_of(head, "host");
  if (hosts.size() > 1)
    return Failure{FailureKind::kBadRequest, "refused: the request has more than one Host header"};
  const std::string host = hosts.empty() ? "" : lower(trim(hosts.front()));
  if (host.empty()) {
    return Failure{FailureKind::kForbidden, "refused: the request has no Host; it must be " + own};
  }
  if (host != own && host != "localhost:" + std::to_string(port) &&
      host != "[::1]:" + std::to_string(port)) {
    return Failure{FailureKind::kForbidden,
                   "refused: Host " + clip_for_message(host, 60) +
                       " is not this service; it must be " + own +
                       " (a web page cannot reach the cameras under another name)"};
  }

  for (const auto& [key, value] : head.headers) {
    const std::string name = lower(key);
    if (name == "origin" || name == "referer" || name.starts_with("sec-")) {
      return from_browser("it carries " + clip_for_message(key, 40));
    }
    if (name == "user-agent" && lower(trim(value)).starts_with("mozilla/")) {
      return from_browser("its User-Agent is a browser's");
    }
    // The service's own camera fetcher reached the service after all (a name or a route the
    // checks before fetching did not see): answering would only make it wait on itself.
    if (name == "user-agent" && trim(value) == "tirvane-app") {
      return Failure{FailureKind::kForbidden,
                     "refused: this request comes from the service's own camera fetcher; a "
                     "network camera must not lead back to the service"};
    }
  }

  if (!values_of(head, "transfer-encoding").empty()) {
    return Failure{FailureKind::kLengthRequired,
                   "send the body with a Content-Length, not Transfer-Encoding"};
  }
  if (!values_of(head, "content-encoding").empty()) {
    return Failure{FailureKind::kUnsupportedMedia, "compressed bodies are not accepted"};
  }
  const std::vector<std::string> lengths = values_of(head, "content-length");
  if (lengths.size() > 1)
    return Failure{FailureKind::kBadRequest, "the request has more than one Content-Length"};
  if (!lengths.empty()) {
    const std::string_view length = trim(lengths.front());
    const auto bytes = length.size() > 18 ? std::nullopt : parse_digits<std::uint64_t>(length);
    if (!bytes) {
      return Failure{FailureKind::kBadRequest, "Content-Length must be a number of bytes"};
    }
    if (*bytes > max_body) {
      return Failure{FailureKind::kTooLarge,
                     "the body is larger than " + std::to_string(max_body / 1024) + " KiB"};
    }
  }

  if (head.method == "POST") {
    if (lengths.empty())
      return Failure{FailureKind::kLengthRequired, "a POST needs a Content-Length"};
    const std::vector<std::string> types = values_of(head, "content-type");
    const std::string type =
        types.size() == 1 ? lower(trim(std::string_view(types.front()).substr(0, types.front().find(';'))))
                          : "";
    if (type != "application/json") {
      return Failure{FailureKind::kUnsupportedMedia,
                     "a POST body must be JSON, sent with Content-Type: application/json"};
    }
  }
  return std::nullopt;
}

}  // namespace app
