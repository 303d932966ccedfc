#include "app/net/http_fetch.h"

#include "app/client_watch.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netdb.h>
#include <netinet/in.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>

#include "app/net/multipart_part.h"

namespace app::net {
namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * 1024;

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListCleanup>;

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where the body goes while it arrives. A server that declares no Content-Length gets past
// CURLOPT_MAXFILESIZE, so the cap is enforced here as well. A multipart stream of pictures
// never ends: it is read up to the end of its first part, and the transfer stopped there.
struct Sink {
  CURL* handle = nullptr;
  std::size_t max_bytes = 0;
  std::string body;
  bool too_large = false;
  bool checked_type = false;
  std::optional<FirstPartReader> stream;
};

bool is_multipart(const char* type) {
  constexpr std::string_view kPrefix = "multipart/";
  if (type == nullptr) return false;
  const std::string_view text(type);
  if (text.size() < kPrefix.size()) return false;
  for (std::size_t i = 0; i < kPrefix.size(); ++i) {
    const char c = text[i];
    if (((c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c) != kPrefix[i]) return false;
  }
  return true;
}

std::size_t write_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  const std::size_t n = size * count;
  if (!sink.checked_type) {
    sink.checked_type = true;
    char* type = nullptr;
    long status = 0;
    curl_easy_getinfo(sink.handle, CURLINFO_RESPONSE_CODE, &status);
    if (status >= 200 && status <= 299 &&
        curl_easy_getinfo(sink.handle, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK &&
        is_multipart(type)) {
      sink.stream.emplace(type);
    }
  }
  if (sink.stream) {
    if (sink.stream->add(std::string_view(data, n))) return 0;  // stops the transfer
    if (sink.stream->held() > sink.max_bytes) {
      sink.too_large = true;
      return 0;
    }
    return n;
  }
  if (n > sink.max_bytes - sink.body.size()) {
    sink.too_large = true;
    return 0;
  }
  sink.body.append(data, n);
  return n;
}

// Whether a numeric address names this machine: 127.0.0.0/8, ::1, the unspecified address (a
// connection to it reaches this machine) and those written as IPv6-mapped IPv4.
bool is_own_address(const std::string& numeric) {
  addrinfo hints{};
  hints.ai_flags = AI_NUMERICHOST;
  hints.ai_family = AF_UNSPEC;
  addrinfo* found = nullptr;
  if (::getaddrinfo(numeric.c_str(), nullptr, &hints, &found) != 0) return false;
  bool own = false;
  for (const addrinfo* a = found; a != nullptr && !own; a = a->ai_next) {
    if (a->ai_family == AF_INET) {
      const std::uint32_t v4 = ntohl(reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr);
      own = (v4 >> 24) == 127 || v4 == 0;
    } else if (a->ai_family == AF_INET6) {
      const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(a->ai_addr)->sin6_addr;
      if (IN6_IS_ADDR_LOOPBACK(&v6) || IN6_IS_ADDR_UNSPECIFIED(&v6)) own = true;
      if (IN6_IS_ADDR_V4MAPPED(&v6)) own = v6.s6_addr[12] == 127 ||
                                           (v6.s6_addr[12] == 0 && v6.s6_addr[13] == 0 &&
                                            v6.s6_addr[14] == 0 && v6.s6_addr[15] == 0);
    }
  }
  ::freeaddrinfo(found);
  return own;
}

// Before each request is sent, on the connection curl made (redirects included): refuses one
// that reached the service's own port on this machine.
struct OwnPortCheck {
  int port = 0;
  bool hit = false;
};

// Called by curl at least once a second while a transfer runs: ends it when the client that
// asked for it has gone.
int stop_when_client_gone(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  if (!client_gone()) return 0;
  *static_cast<bool*>(user) = true;
  return 1;
}

int check_own_port(void* user, char* primary_ip, char* /*local_ip*/, int primary_port,
                   int /*local_port*/) {
  auto& check = *static_cast<OwnPortCheck*>(user);
  if (check.port != 0 && primary_port == check.port && primary_ip && is_own_address(primary_ip)) {
    check.hit = true;
    return CURL_PREREQFUNC_ABORT;
  }
  return CURL_PREREQFUNC_OK;
}

bool is_http_url(std::string_view url) {
  auto starts_with_nocase = [&](std::string_view prefix) {
    if (url.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
      const char c = url[i];
      const char lower = (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
      if (lower != prefix[i]) return false;
    }
    return true;
  };
  return starts_with_nocase("http://") || starts_with_nocase("https://");
}

// "Connection refused" reads "connection refused" after a comma; "SSL certificate problem"
// keeps its capitals.
std::string lower_first(std::string text) {
  const bool acronym = text.size() > 1 && text[1] >= 'A' && text[1] <= 'Z';
  if (!acronym && !text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

// curl's own words for a failure: the detailed error buffer when it has something, else the
// generic text of the code.
std::string curl_detail(CURLcode code, const char* buffer) {
  return lower_first(buffer[0] != '\0' ? buffer : curl_easy_strerror(code));
}

// Whether a failed TLS handshake was answered in plain HTTP: the server took the greeting for a
// bad request and sent an HTTP error page, whose first bytes TLS reads as a record of no known
// version (OpenSSL) or of an unexpected kind or length (GnuTLS).
bool answered_in_plain_http(std::string_view detail) {
  for (std::string_view sign : {"wrong version number", "packet length too long",
                                "unexpected TLS packet", "TLS packet with unexpected length"}) {
    if (detail.find(sign) != std::string_view::npos) return true;
  }
  return false;
}

Failure bad_gateway(std::string reason) {
  return Failure{FailureKind::kDeviceFailed, std::move(reason)};
}

Failure reason_for(CURLcode code, CURL* handle, const Sink& sink, const FetchLimits& limits,
                   const char* error_buffer) {
  if (sink.too_large || code == CURLE_FILESIZE_EXCEEDED) {
    return bad_gateway("answered with more than the limit of " + size_text(limits.max_bytes));
  }
  switch (code) {
    case CURLE_OPERATION_TIMEDOUT: {
      // Only two clocks run: if the whole exchange had not yet used its time, connecting did.
      curl_off_t elapsed_us = 0;
      curl_easy_getinfo(handle, CURLINFO_TOTAL_TIME_T, &elapsed_us);
      const auto elapsed = std::chrono::microseconds(elapsed_us);
      if (elapsed < limits.total_timeout && limits.connect_timeout < limits.total_timeout) {
        return bad_gateway("is unreachable: no connection within " +
                           seconds_text(limits.connect_timeout));
      }
      if (sink.stream) {
        return bad_gateway("timed out after " + seconds_text(limits.total_timeout) +
                           " before the first picture of its video stream was complete");
      }
      return bad_gateway("timed out after " + seconds_text(limits.total_timeout));
    }
    case CURLE_COULDNT_CONNECT: {
      long os_error = 0;
      curl_easy_getinfo(handle, CURLINFO_OS_ERRNO, &os_error);
      return bad_gateway("is unreachable: " +
                         (os_error != 0 ? lower_first(std::strerror(static_cast<int>(os_error)))
                                        : curl_detail(code, error_buffer)));
    }
    case CURLE_COULDNT_RESOLVE_HOST:
      return bad_gateway("is unreachable: its host name does not resolve");
    case CURLE_TOO_MANY_REDIRECTS:
      return bad_gateway("redirected more than " + std::to_string(limits.max_redirects) +
                         (limits.max_redirects == 1 ? " time" : " times"));
    case CURLE_UNSUPPORTED_PROTOCOL: {
      long redirects = 0;
      curl_easy_getinfo(handle, CURLINFO_REDIRECT_COUNT, &redirects);
      char* target = nullptr;
      curl_easy_getinfo(handle, CURLINFO_EFFECTIVE_URL, &target);
      if (redirects > 0 && target && !is_http_url(target)) {
        return bad_gateway("redirected to " + url_for_display(target) +
                           ", which is neither http nor https");
      }
      if (std::string_view(error_buffer).find("HTTP/0.9") != std::string_view::npos) {
        return bad_gateway("answered with something that is not HTTP");
      }
      return bad_gateway("failed: " + curl_detail(code, error_buffer));
    }
    case CURLE_GOT_NOTHING:
      return bad_gateway("closed the connection without answering");
    case CURLE_PARTIAL_FILE:
      return bad_gateway("broke off its answer before the end");
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
      return bad_gateway("broke off the connection: " + curl_detail(code, error_buffer));
    case CURLE_WEIRD_SERVER_REPLY:
      return bad_gateway("answered with something that is not HTTP");
    case CURLE_PEER_FAILED_VERIFICATION:
      return bad_gateway(
          "has a TLS certificate that cannot be verified (" + curl_detail(code, error_buffer) +
          "). Cameras often make their own (self-signed) certificate; if you trust this one, "
          "register the source again with " + std::string(kInsecureMark) +
          " at the end of its URL, or with \"insecure\": true through the API, and its "
          "certificate is then accepted without verification for that source alone");
    case CURLE_SSL_CONNECT_ERROR:
      if (answered_in_plain_http(error_buffer)) {
        return bad_gateway("answered in plain HTTP, not HTTPS: register it with http://");
      }
      return bad_gateway("failed the TLS handshake: " + curl_detail(code, error_buffer));
    case CURLE_URL_MALFORMAT:
      return bad_gateway("has a malformed URL");
    default:
      return bad_gateway("failed: " + curl_detail(code, error_buffer));
  }
}

}  // namespace

Result<FetchedBody> http_fetch(const std::string& url, const FetchLimits& limits,
                               bool insecure) {
  if (!is_http_url(url)) return bad_gateway("has a URL that is neither http nor https");
  init_curl_once();
  EasyHandle handle(curl_easy_init());
  if (!handle) return Failure{FailureKind::kInternal, "cannot start the HTTP client"};
  CURL* curl = handle.get();

  Sink sink;
  sink.handle = curl;
  sink.max_bytes = limits.max_bytes;
  char error_buffer[CURL_ERROR_SIZE] = {};
  HeaderList headers(curl_slist_append(nullptr, "Accept: image/jpeg"));

  CURLcode setup = CURLE_OK;
  auto set = [&](CURLoption option, auto value) {
    if (setup == CURLE_OK) setup = curl_easy_setopt(curl, option, value);
  };
  set(CURLOPT_URL, url.c_str());
  set(CURLOPT_ERRORBUFFER, error_buffer);
  set(CURLOPT_NOSIGNAL, 1L);  // signals would be unsafe in a threaded service
  set(CURLOPT_PROTOCOLS_STR, "http,https");
  set(CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  set(CURLOPT_FOLLOWLOCATION, 1L);
  set(CURLOPT_MAXREDIRS, limits.max_redirects);
  set(CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(limits.connect_timeout.count()));
  set(CURLOPT_TIMEOUT_MS, static_cast<long>(limits.total_timeout.count()));
  set(CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.max_bytes));
  // Cameras sit on the local network: a proxy from the environment of whoever started the
  // service would only stand in the way.
  set(CURLOPT_PROXY, "");
  // IP cameras commonly ask for digest authentication; credentials come from the URL.
  set(CURLOPT_HTTPAUTH, static_cast<unsigned long>(CURLAUTH_BASIC | CURLAUTH_DIGEST));
  set(CURLOPT_USERAGENT, "tirvane-app");
  set(CURLOPT_HTTPHEADER, headers.get());
  if (insecure) {
    set(CURLOPT_SSL_VERIFYPEER, 0L);
    set(CURLOPT_SSL_VERIFYHOST, 0L);
  }
  set(CURLOPT_WRITEFUNCTION, write_body);
  set(CURLOPT_WRITEDATA, &sink);
  OwnPortCheck own_port{limits.own_port, false};
  bool abandoned = false;
  set(CURLOPT_NOPROGRESS, 0L);
  set(CURLOPT_XFERINFOFUNCTION, stop_when_client_gone);
  set(CURLOPT_XFERINFODATA, &abandoned);
  set(CURLOPT_PREREQFUNCTION, check_own_port);
  set(CURLOPT_PREREQDATA, &own_port);
  if (setup != CURLE_OK) {
    return Failure{FailureKind::kInternal,
                   std::string("cannot set up the HTTP client: ") + curl_easy_strerror(setup)};
  }

  const CURLcode code = curl_easy_perform(curl);
  if (abandoned) return client_gone_failure();
  if (own_port.hit) {
    return bad_gateway("leads back to this service itself (127.0.0.1:" +
                       std::to_string(limits.own_port) +
                       "); register the camera's own address");
  }
  const bool stopped_after_part =
      code == CURLE_WRITE_ERROR && sink.stream && sink.stream->complete() && !sink.too_large;
  if (code != CURLE_OK && !stopped_after_part) {
    return reason_for(code, curl, sink, limits, error_buffer);
  }

  FetchedBody fetched;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &fetched.status);
  if (fetched.status < 200 || fetched.status > 299) {
    return bad_gateway("answered with HTTP status " + std::to_string(fetched.status));
  }
  if (sink.stream) {
    if (!sink.stream->finish()) {
      return bad_gateway("ended its video stream before its first picture was complete");
    }
    fetched.from_stream = true;
    fetched.content_type = sink.stream->content_type();
    fetched.body = sink.stream->body();
    return fetched;
  }
  char* type = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) {
    fetched.content_type = type;
  }
  fetched.body = std::move(sink.body);
  return fetched;
}

bool url_points_at_own_port(const std::string& url, int port) {
  init_curl_once();
  const std::unique_ptr<CURLU, decltype(&curl_url_cleanup)> parsed(curl_url(), curl_url_cleanup);
  if (!parsed || curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), 0) != CURLUE_OK) return false;
  auto part = [&](CURLUPart which, unsigned int flags) -> std::string {
    char* text = nullptr;
    if (curl_url_get(parsed.get(), which, &text, flags) != CURLUE_OK || !text) return {};
    std::string value = text;
    curl_free(text);
    return value;
  };
  const std::string given_port = part(CURLUPART_PORT, CURLU_DEFAULT_PORT);
  if (given_port != std::to_string(port)) return false;
  std::string host = part(CURLUPART_HOST, 0);
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') host = host.substr(1, host.size() - 2);
  if (const std::size_t zone = host.find('%'); zone != std::string::npos) host.erase(zone);
  for (char& c : host) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  while (!host.empty() && host.back() == '.') host.pop_back();
  if (host == "localhost" || host.ends_with(".localhost")) return true;
  return is_own_address(host);
}

std::string seconds_text(std::chrono::milliseconds duration) {
  const auto ms = duration.count();
  if (ms % 1000 == 0) return std::to_string(ms / 1000) + " s";
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(ms) / 1000.0);
  return text;
}

std::string size_text(std::size_t bytes) {
  if (bytes >= kMiB && bytes % kMiB == 0) return std::to_string(bytes / kMiB) + " MiB";
  if (bytes >= kKiB && bytes % kKiB == 0) return std::to_string(bytes / kKiB) + " KiB";
  return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
}

}  // namespace app::net
