#include "app/net/http_fetch.h"

#include <curl/curl.h>

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
  if (setup != CURLE_OK) {
    return Failure{FailureKind::kInternal,
                   std::string("cannot set up the HTTP client: ") + curl_easy_strerror(setup)};
  }

  const CURLcode code = curl_easy_perform(curl);
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
