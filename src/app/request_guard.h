// The checks every request passes before the service looks at what it asks for. A web page in
// the user's browser can send requests to 127.0.0.1 too; these keep it out:
// - Host must be this service's own loopback name and port, exactly once, so a page cannot
//   reach the service under a name of its own (DNS rebinding);
// - headers that only browsers send (Origin, Referer, Sec-*, a browser's User-Agent) are
//   refused, so a page cannot even fire a blind request, such as an image tag;
// - a POST must be JSON (Content-Type: application/json), which a page cannot send to another
//   site without the browser asking first, and that question carries an Origin;
// - the body must have a Content-Length within the limit, be neither compressed nor chunked.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/failure.h"

namespace app {

struct RequestHead {
  std::string method;
  std::vector<std::pair<std::string, std::string>> headers;  // as received, in order
};

// The refusal for a request that must not be served, or nothing.
std::optional<Failure> guard_request(const RequestHead& head, int port, std::size_t max_body);

}  // namespace app
