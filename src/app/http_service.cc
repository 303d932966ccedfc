// The one file that uses cpp-httplib, and the only code that reaches into it. The library reads
// a request and writes its answer well, but gives no public way to bound how long a connection
// may take, how large a request head may grow, to serve exactly one request per connection, or
// to stop promptly; so this file overrides members that are not its public interface:
// httplib::Server::process_and_close_socket (our per-connection loop, around process_request),
// svr_sock_ (a socket we bind ourselves), new_task_queue, and an httplib::Stream of our own.
// Those members are why the library's version is pinned in CMake (src/app/CMakeLists.txt).
#include "app/http_service.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <tuple>

#include "app/client_watch.h"
#include "app/peer_credentials.h"
#include "app/request_guard.h"
#include "app/text.h"

namespace app {
namespace {

using Clock = std::chrono::steady_clock;

// Why reading a request stopped before the library had all of it.
enum class Cut { kNone, kHeadTooLarge, kTimedOut, kStopping };

// One accepted connection, which carries exactly one request.
struct Connection {
  int fd = -1;
  Clock::time_point opened = Clock::now();
  std::optional<Clock::time_point> head_done;
  std::size_t head_bytes = 0;
  std::uint32_t last_four = 0;  // the last bytes of the head, to spot the empty line ending it
  std::size_t received = 0;
  std::size_t sent = 0;
  Cut cut = Cut::kNone;
};

// The connection this thread serves. The library calls our error handler and logger on the
// thread that reads the request, with no way to pass them anything else.
thread_local Connection* current_connection = nullptr;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return static_cast<int>(std::max<std::int64_t>(0, left.count()));
}

// Waits until `fd` is ready for `events`, the deadline passes, or the service stops.
enum class Wait { kReady, kTimedOut, kStopping };
Wait wait_for(int fd, short events, int stop_fd, Clock::time_point deadline) {
  for (;;) {
    std::array<pollfd, 2> fds{{{fd, events, 0}, {stop_fd, POLLIN, 0}}};
    const int n = ::poll(fds.data(), fds.size(), remaining_ms(deadline));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Wait::kTimedOut;
    if (fds[1].revents != 0) return Wait::kStopping;
    if (fds[0].revents != 0) return Wait::kReady;
    if (Clock::now() >= deadline) return Wait::kTimedOut;
  }
}

std::string address_text(const sockaddr_storage& address, int& port) {
  char text[INET6_ADDRSTRLEN] = "";
  if (address.ss_family == AF_INET) {
    const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
    ::inet_ntop(AF_INET, &v4.sin_addr, text, sizeof text);
    port = ntohs(v4.sin_port);
  } else if (address.ss_family == AF_INET6) {
    const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
    ::inet_ntop(AF_INET6, &v6.sin6_addr, text, sizeof text);
    port = ntohs(v6.sin6_port);
  }
  return text;
}

// The library's view of a connection: reads bounded by the head limit and the deadlines and cut
// short when the service stops, writes bounded by the send deadline.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(Connection& connection, const HttpLimits& limits, int stop_fd)
      : c_(connection), limits_(limits), stop_fd_(stop_fd) {}

  bool is_readable() const override {
    return pos_ < len_ || wait_for(c_.fd, POLLIN, stop_fd_, read_deadline()) == Wait::kReady;
  }
  bool is_writable() const override {
    return wait_for(c_.fd, POLLOUT, -1, Clock::now() + limits_.send_time) == Wait::kReady;
  }

  ssize_t read(char* ptr, size_t size) override {
    if (c_.cut != Cut::kNone) return -1;
    if (pos_ == len_) {
      const ssize_t filled = fill();
      if (filled <= 0) return filled;
    }
    std::size_t n = std::min(size, len_ - pos_);
    if (!c_.head_done) {
      for (std::size_t i = 0; i < n; ++i) {
        c_.last_four = (c_.last_four << 8) | static_cast<std::uint8_t>(buffer_[pos_ + i]);
        if (++c_.head_bytes > limits_.max_head) {
          c_.cut = Cut::kHeadTooLarge;
          return -1;
        }
        if (c_.last_four == 0x0D0A0D0A) {  // "\r\n\r\n"
          c_.head_done = Clock::now();
          n = i + 1;
          break;
        }
      }
    }
    std::memcpy(ptr, buffer_.data() + pos_, n);
    pos_ += n;
    return static_cast<ssize_t>(n);
  }

  // Answers are sent in full even while the service stops: a request that was being served
  // when the signal came still gets its answer.
  ssize_t write(const char* ptr, size_t size) override {
    std::size_t done = 0;
    while (done < size) {
      if (wait_for(c_.fd, POLLOUT, -1, Clock::now() + limits_.send_time) != Wait::kReady) {
        return -1;
      }
      const ssize_t n = ::send(c_.fd, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return -1;
      done += static_cast<std::size_t>(n);
      c_.sent += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(size);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getpeername(c_.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      ip = address_text(address, port);
    }
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_storage address{};
    socklen_t length = sizeof address;
    if (::getsockname(c_.fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
      ip = address_text(address, port);
    }
  }
  socket_t socket() const override { return c_.fd; }

 private:
  Clock::time_point read_deadline() const {
    return c_.head_done ? *c_.head_done + limits_.body_time : c_.opened + limits_.head_time;
  }

  ssize_t fill() {
    for (;;) {
      switch (wait_for(c_.fd, POLLIN, stop_fd_, read_deadline())) {
        case Wait::kStopping: c_.cut = Cut::kStopping; return -1;
        case Wait::kTimedOut: c_.cut = Cut::kTimedOut; return -1;
        case Wait::kReady: break;
      }
      const ssize_t n = ::recv(c_.fd, buffer_.data(), buffer_.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n < 0) return -1;
      pos_ = 0;
      len_ = static_cast<std::size_t>(n);
      c_.received += len_;
      return n;
    }
  }

  Connection& c_;
  const HttpLimits& limits_;
  int stop_fd_;
  std::array<char, 4096> buffer_{};
  std::size_t pos_ = 0, len_ = 0;
};

std::string printable(std::string_view text, std::size_t limit) {
  std::string out = replace_controls(text.substr(0, limit), '?');
  if (text.size() > limit) out += "...";
  return out;
}

// "12:00:01.234 GET /api/health 200 87 bytes 0.4 ms", written with one call so lines from
// different threads never mix.
void log_request(std::string_view method, std::string_view target, int status, std::size_t bytes,
                 Clock::time_point started) {
  const auto now = std::chrono::system_clock::now();
  const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&seconds, &local);
  const auto millis =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  const double took = std::chrono::duration<double, std::milli>(Clock::now() - started).count();
  char stamp[32];
  std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                local.tm_sec, static_cast<int>(millis));
  char figures[96];
  std::snprintf(figures, sizeof figures, " %d %zu bytes %.1f ms\n", status, bytes, took);
  const std::string line = std::string(stamp) + " " + printable(method, 16) + " " +
                           printable(target, 300) + figures;
  [[maybe_unused]] const ssize_t written = ::write(STDERR_FILENO, line.data(), line.size());
}

std::string error_body(const std::string& message) {
  return nlohmann::json{{"error", message}}.dump(-1, ' ', false,
                                                 nlohmann::json::error_handler_t::replace);
}

// The text for an answer the library made itself, with no body of ours.
std::string library_refusal_text(int status) {
  switch (status) {
    case 400: return "the request is not well-formed HTTP";
    case 404: return "not found";
    case 408: return "the request did not arrive in time";
    case 413: return "the request is too large";
    case 414: return "the request target is too long";
    case 416: return "the requested range cannot be satisfied";
    case 417: return "expectation failed";
    default: return "the request failed (HTTP " + std::to_string(status) + ")";
  }
}

void put_answer(httplib::Response& response, ApiAnswer answer) {
  response.status = answer.status;
  for (const auto& [name, value] : answer.headers) response.set_header(name, value);
  response.set_content(std::move(answer.body), answer.content_type.c_str());
}

ApiRequest api_request(const httplib::Request& request) {
  ApiRequest out{request.method, request.path, {}, request.body};
  for (const auto& [key, value] : request.params) out.query.emplace(key, value);
  return out;
}

RequestHead request_head(const httplib::Request& request) {
  RequestHead head{request.method, {}};
  for (const auto& [key, value] : request.headers) {
    // The library files the peer's and our own addresses among the headers; they are not the
    // client's words.
    if (key == "REMOTE_ADDR" || key == "REMOTE_PORT" || key == "LOCAL_ADDR" || key == "LOCAL_PORT") {
      continue;
    }
    head.headers.emplace_back(key, value);
  }
  return head;
}

}  // namespace

Result<ListeningSocket> listen_on_loopback(int port) {
  auto failed = [&](const char* what) {
    const int code = errno;
    return Failure{FailureKind::kInternal, std::string(what) + " 127.0.0.1:" +
                                               std::to_string(port) + ": " + std::strerror(code)};
  };
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return failed("cannot open a socket for");
  // Lets a restarted service take its port back while old connections linger in TIME_WAIT; it
  // does not let two services share the port.
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<std::uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(fd, 128) != 0) {
    const bool taken = errno == EADDRINUSE;
    Failure failure = failed("cannot listen on");
    if (taken) failure.message += " (is tirvane-app running already? --port N picks another port)";
    ::close(fd);
    return failure;
  }
  socklen_t length = sizeof address;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ListeningSocket{fd, ntohs(address.sin_port)};
}

class HttpService::Server : public httplib::Server {
 public:
  Server(Api& api, ListeningSocket socket, HttpLimits limits)
      : api_(api), port_(socket.port), limits_(limits) {
    svr_sock_ = socket.fd;
    if (::pipe2(stop_pipe_.data(), O_CLOEXEC | O_NONBLOCK) != 0) stop_pipe_ = {-1, -1};
    const std::size_t threads = limits_.threads;
    new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    set_payload_max_length(limits_.max_body);
    set_default_headers({{"Cache-Control", "no-store"}, {"X-Content-Type-Options", "nosniff"}});
    set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
      return before_routing(request, response);
    });
    Post(".*", [this](const httplib::Request& request, httplib::Response& response) {
      put_answer(response, api_.handle(api_request(request)));
    });
    set_error_handler([](const httplib::Request&, httplib::Response& response) {
      explain_refusal(response);
    });
    set_exception_handler(
        [](const httplib::Request&, httplib::Response& response, std::exception_ptr error) {
          std::string what = "unknown error";
          try {
            if (error) std::rethrow_exception(error);
          } catch (const std::exception& e) {
            what = e.what();
          } catch (...) {
          }
          put_answer(response, refusal(Failure{FailureKind::kInternal, "internal error: " + what}));
        });
    set_logger([](const httplib::Request& request, const httplib::Response& response) {
      Connection* connection = current_connection;
      if (connection == nullptr) return;
      log_request(request.method.empty() ? "-" : request.method,
                  request.target.empty() ? "-" : request.target, response.status,
                  response.body.size(), connection->opened);
    });
  }

  ~Server() override {
    for (int fd : stop_pipe_) {
      if (fd >= 0) ::close(fd);
    }
  }

  void shut() {
    if (stop_pipe_[1] >= 0) {
      [[maybe_unused]] const ssize_t n = ::write(stop_pipe_[1], "x", 1);
    }
    // As the library's own stop(), which does nothing until its loop has started.
    const socket_t sock = svr_sock_.exchange(INVALID_SOCKET);
    if (sock != INVALID_SOCKET) {
      ::shutdown(sock, SHUT_RDWR);
      ::close(sock);
    }
  }

 private:
  httplib::Server::HandlerResponse before_routing(const httplib::Request& request,
                                                  httplib::Response& response) {
    if (request.remote_addr.rfind("127.", 0) != 0 && request.remote_addr != "::1") {
      put_answer(response, refusal(Failure{FailureKind::kForbidden,
                                           "refused: only programs on this machine may connect"}));
      return HandlerResponse::Handled;
    }
    if (auto refused = check_peer_user()) {
      put_answer(response, refusal(*refused));
      return HandlerResponse::Handled;
    }
    if (auto refused = guard_request(request_head(request), port_, limits_.max_body)) {
      put_answer(response, refusal(*refused));
      return HandlerResponse::Handled;
    }
    if (auto refused = api_.check_route(request.method, request.path)) {
      put_answer(response, std::move(*refused));
      return HandlerResponse::Handled;
    }
    // A POST goes on to the library, which reads its body and calls the POST handler.
    if (request.method == "POST") return HandlerResponse::Unhandled;
    put_answer(response, api_.handle(api_request(request)));
    return HandlerResponse::Handled;
  }

  // Any program on this machine can connect to 127.0.0.1, but the cameras, the screen and the
  // registered cameras' passwords belong to the user running the service: only that user's
  // programs and root's are served.
  static std::optional<Failure> check_peer_user() {
    const Connection* connection = current_connection;
    if (connection == nullptr) return std::nullopt;
    const auto owner = loopback_peer_uid(connection->fd);
    if (const auto* why = std::get_if<std::string>(&owner)) {
      return Failure{FailureKind::kForbidden,
                     "refused: cannot tell which user the connection comes from (" + *why + ")"};
    }
    const uid_t peer = std::get<uid_t>(owner);
    const uid_t own = ::geteuid();
    if (peer == own || peer == 0) return std::nullopt;
    return Failure{FailureKind::kForbidden,
                   "refused: the connection comes from another user (uid " + std::to_string(peer) +
                       "); only the user running the service (uid " + std::to_string(own) +
                       ") and root may use it"};
  }

  // Gives every refusal the library makes a JSON body like ours, and the status that says what
  // really happened when reading stopped early.
  static void explain_refusal(httplib::Response& response) {
    const Connection* connection = current_connection;
    if (connection != nullptr && connection->cut == Cut::kHeadTooLarge) {
      response.status = 413;
      response.set_content(error_body("the request head is larger than 16 KiB"), "application/json");
    } else if (connection != nullptr && connection->cut == Cut::kTimedOut) {
      response.status = 408;
      response.set_content(error_body(library_refusal_text(408)), "application/json");
    } else if (connection != nullptr && connection->cut == Cut::kStopping) {
      response.status = 503;
      response.set_content(error_body("the service is stopping"), "application/json");
    } else if (response.body.empty()) {
      response.set_content(error_body(library_refusal_text(response.status)), "application/json");
    }
  }

  bool process_and_close_socket(socket_t sock) override {
    Connection connection;
    connection.fd = sock;
    current_connection = &connection;
    const int one = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

    ConnectionStream stream(connection, limits_, stop_pipe_[0]);
    bool closed = false;
    {
      ClientWatch watch(sock);
      process_request(stream, true, closed, nullptr);
    }

    // The library gives up without a word when the request line itself is cut off; a client
    // that sent something still deserves an answer.
    if (connection.sent == 0 && connection.received > 0 && connection.cut != Cut::kNone) {
      const auto [status, reason, message] =
          connection.cut == Cut::kHeadTooLarge
              ? std::make_tuple(413, "Payload Too Large", std::string("the request head is larger than 16 KiB"))
          : connection.cut == Cut::kTimedOut
              ? std::make_tuple(408, "Request Timeout", library_refusal_text(408))
              : std::make_tuple(503, "Service Unavailable", std::string("the service is stopping"));
      const std::string body = error_body(message);
      const std::string answer = "HTTP/1.1 " + std::to_string(status) + " " + reason +
                                 "\r\nContent-Type: application/json\r\nContent-Length: " +
                                 std::to_string(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
      connection.cut = Cut::kNone;
      stream.write(answer.data(), answer.size());
      log_request("-", "-", status, body.size(), connection.opened);
    }
    close_gently(sock);
    current_connection = nullptr;
    return true;
  }

  // Closes after the client has had the answer. Closing with unread request bytes would reset
  // the connection and could destroy the answer before the client reads it, so what is left of
  // the request is read and dropped first, while it keeps coming (2 s and 1 MiB at most).
  static void close_gently(int sock) {
    ::shutdown(sock, SHUT_WR);
    const Clock::time_point until = Clock::now() + std::chrono::seconds(2);
    std::array<char, 16384> sink;
    std::size_t drained = 0;
    while (drained < (1u << 20)) {
      const Clock::time_point idle = std::min(until, Clock::now() + std::chrono::milliseconds(100));
      if (wait_for(sock, POLLIN, -1, idle) != Wait::kReady) break;
      const ssize_t n = ::recv(sock, sink.data(), sink.size(), MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) break;
      drained += static_cast<std::size_t>(n);
    }
    ::close(sock);
  }

  Api& api_;
  int port_;
  HttpLimits limits_;
  std::array<int, 2> stop_pipe_{-1, -1};
};

HttpService::HttpService(Api& api, ListeningSocket socket, HttpLimits limits)
    : server_(std::make_unique<Server>(api, socket, limits)) {}

HttpService::~HttpService() = default;

bool HttpService::serve() { return server_->listen_after_bind(); }

void HttpService::stop() { server_->shut(); }

}  // namespace app
