#include "app/net/http_fetch.h"

#include <curl/curl.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <string_view>

namespace app::net {
namespace {

constexpr std::size_t kKiB = 1024;
constexpr std::size_t kMiB = 1024 * 1024;

struct EasyCleanup {
  void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};
using EasyHandle = std::unique_ptr<CURL, EasyCleanup>;

struct UrlCleanup {
  void operator()(CURLU* handle) const { curl_url_cleanup(handle); }
};
using UrlHandle = std::unique_ptr<CURLU, UrlCleanup>;

struct ListCleanup {
  void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};
using HeaderList = std::unique_ptr<curl_slist, ListCleanup>;

void init_curl_once() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

// Where the body goes while it arrives. A server that declares no Content-Length gets past
// CURLOPT_MAXFILESIZE, so the cap is enforced here as well.
struct Sink {
  CURL* handle = nullptr;
  std::size_t max_bytes = 0;
  std::string body;
  bool too_large = false;
  bool stream = false;  // a multipart stream of pictures, which would never end
  bool checked_type = false;
};

std::size_t write_body(char* data, std::size_t size, std::size_t count, void* user) {
  auto& sink = *static_cast<Sink*>(user);
  const std::size_t n = size * count;
  if (!sink.checked_type) {
    sink.checked_type = true;
    char* type = nullptr;
    if (curl_easy_getinfo(sink.handle, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type &&
        std::string_view(type).starts_with("multipart/")) {
      sink.stream = true;
      return 0;  // any count other than n ends the transfer
    }
  }
  if (n > sink.max_bytes - sink.body.size()) {
    sink.too_large = true;
    return 0;
  }
  sink.body.append(data, n);
  return n;
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

std::string lower_first(std::string text) {
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') {
    text[0] = static_cast<char>(text[0] - 'A' + 'a');
  }
  return text;
}

// curl's own words for a failure: the detailed error buffer when it has something, else the
// generic text of the code.
std::string curl_detail(CURLcode code, const char* buffer) {
  return lower_first(buffer[0] != '\0' ? buffer : curl_easy_strerror(code));
}

Failure bad_gateway(std::string reason) {
  return Failure{FailureKind::kDeviceFailed, std::move(reason)};
}

Failure reason_for(CURLcode code, CURL* handle, const Sink& sink, const FetchLimits& limits,
                   const char* error_buffer) {
  if (sink.stream) {
    return bad_gateway(
        "answered with a video stream rather than one picture: register its snapshot URL");
  }
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
      return bad_gateway("has a TLS certificate that cannot be verified: " +
                         curl_detail(code, error_buffer));
    case CURLE_SSL_CONNECT_ERROR:
      return bad_gateway("failed the TLS handshake: " + curl_detail(code, error_buffer));
    case CURLE_URL_MALFORMAT:
      return bad_gateway("has a malformed URL");
    default:
      return bad_gateway("failed: " + curl_detail(code, error_buffer));
  }
}

}  // namespace

Result<FetchedBody> http_fetch(const std::string& url, const FetchLimits& limits) {
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
  set(CURLOPT_WRITEFUNCTION, write_body);
  set(CURLOPT_WRITEDATA, &sink);
  if (setup != CURLE_OK) {
    return Failure{FailureKind::kInternal,
                   std::string("cannot set up the HTTP client: ") + curl_easy_strerror(setup)};
  }

  const CURLcode code = curl_easy_perform(curl);
  if (code != CURLE_OK) return reason_for(code, curl, sink, limits, error_buffer);

  FetchedBody fetched;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &fetched.status);
  if (fetched.status < 200 || fetched.status > 299) {
    return bad_gateway("answered with HTTP status " + std::to_string(fetched.status));
  }
  char* type = nullptr;
  if (curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type) == CURLE_OK && type) {
    fetched.content_type = type;
  }
  fetched.body = std::move(sink.body);
  return fetched;
}

std::string url_for_display(const std::string& url, bool host_only) {
  init_curl_once();
  UrlHandle parsed(curl_url());
  if (parsed && curl_url_set(parsed.get(), CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) ==
                    CURLUE_OK) {
    auto part = [&](CURLUPart which) -> std::string {
      char* text = nullptr;
      if (curl_url_get(parsed.get(), which, &text, 0) != CURLUE_OK || !text) return {};
      std::string value = text;
      curl_free(text);
      return value;
    };
    if (host_only) {
      const std::string port = part(CURLUPART_PORT);  // only when the URL names one
      return port.empty() ? part(CURLUPART_HOST) : part(CURLUPART_HOST) + ":" + port;
    }
    curl_url_set(parsed.get(), CURLUPART_USER, nullptr, 0);
    curl_url_set(parsed.get(), CURLUPART_PASSWORD, nullptr, 0);
    std::string shown = part(CURLUPART_URL);
    if (!shown.empty()) return shown;
  }
  if (host_only) return {};
  // Unparsable: still never show what looks like a user part.
  std::string shown = url;
  const std::size_t scheme_end = shown.find("://");
  const std::size_t authority = scheme_end == std::string::npos ? 0 : scheme_end + 3;
  const std::size_t authority_end = shown.find_first_of("/?#", authority);
  const std::size_t at =
      shown.rfind('@', authority_end == std::string::npos ? std::string::npos : authority_end);
  if (at != std::string::npos && at >= authority) shown.erase(authority, at + 1 - authority);
  return shown;
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
