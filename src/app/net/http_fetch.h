// One HTTP(S) GET through libcurl with every limit a fetch from a camera on the network needs:
// a connect time-out, a time-out for the whole exchange, a cap on the body's size and on the
// number of redirects, and no scheme but http and https, also for redirect targets.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>

#include "app/failure.h"
#include "app/net/source_url.h"

namespace app::net {

struct FetchLimits {
  // Phones focus before they answer a snapshot, which can take seconds: the limits are generous.
  std::chrono::milliseconds connect_timeout{5000};
  std::chrono::milliseconds total_timeout{20000};  // connecting, redirects and the whole body
  std::size_t max_bytes = std::size_t{32} << 20;
  long max_redirects = 5;
  // An RTSP session is kept open this long after its last picture, for the next one.
  std::chrono::milliseconds keep_open{5000};
  // The port the service itself listens on at 127.0.0.1, 0 for none. A fetch that would connect
  // there, by any name or redirect, is refused: the service would be waiting on itself.
  int own_port = 0;
};

struct FetchedBody {
  long status = 0;           // of the last answer, after redirects: always 2xx
  std::string content_type;  // as the server sent it (of the part, for a stream), empty when none
  std::string body;
  bool from_stream = false;  // the first part of a multipart/x-mixed-replace stream
};

// Fetches `url`, following redirects. Any answer other than 2xx is a failure. An answer that is
// a multipart/x-mixed-replace stream (MJPEG) gives its first complete part, read as soon as it
// has arrived. A Failure's status is 502 and its message is the reason alone ("timed out after
// 20 s", "answered with HTTP status 500"), for the caller to put after the name of what it
// fetched. `insecure` accepts a TLS certificate that cannot be verified (a camera's
// self-signed one). Thread-safe; connects directly, ignoring proxy settings in the environment.
Result<FetchedBody> http_fetch(const std::string& url, const FetchLimits& limits,
                               bool insecure = false);

// Whether `url` names this machine's loopback (127.0.0.0/8 in any spelling, ::1, localhost,
// 0.0.0.0) at `port`; the port a URL leaves out is its scheme's.
bool url_points_at_own_port(const std::string& url, int port);

// "20 s", "0.25 s".
std::string seconds_text(std::chrono::milliseconds duration);
// "32 MiB", "64 KiB", "1000 bytes".
std::string size_text(std::size_t bytes);

}  // namespace app::net
