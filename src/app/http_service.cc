// The one file that uses cpp-httplib, and the only code that reaches into it. The library parses
// a request and writes its answer well, but gives no public way to bound how long a connection
// may take, to serve exactly one request per connection, to read a request before giving it a
// thread, or to stop promptly; so connections are accepted and read by our own gate
// (connection_gate.h), and this file calls members that are not the library's public interface:
// httplib::Server::process_request, on an httplib::Stream of our own, from our own threads, and
// svr_sock_, which it reads to learn whether it is stopping.
// Those members are why the library's version is pinned in CMake (src/app/CMakeLists.txt).
#include "app/http_service.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
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
#include <utility>

#include "app/client_watch.h"
#include "app/connection_gate.h"
#include "app/peer_credentials.h"
#include "app/request_guard.h"
#include "app/text.h"

namespace app {
namespace {

using Clock = std::chrono::steady_clock;

// Why reading a request's body stopped before the library had all of it.
enum class Cut { kNone, kTimedOut, kStopping };

// One connection, which carries exactly one request, while a worker serves it.
struct Connection {
  int fd = -1;
  Clock::time_point opened;
  Clock::time_point head_done;
  std::size_t received = 0;
  std::size_t sent = 0;
  Cut cut = Cut::kNone;
  // The answer is sent by the worker, which waits on the client (a body from a file is never
  // copied into memory to be sent later).
  bool wait_on_client = false;
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

// The library's view of a connection whose request the gate has read: reads come from those
// bytes first, then (for a body the gate left to us) from the socket within the body deadline,
// cut short when the service stops. Writes go out as far as the socket takes them at once; the
// rest is kept for the gate to send, so a slow reader does not hold this thread, unless the gate
// holds too much already or the answer comes from a file: then this thread waits on the client,
// within the send deadline.
class ConnectionStream final : public httplib::Stream {
 public:
  ConnectionStream(Connection& connection, std::string arrived, const HttpLimits& limits,
                   ConnectionGate& gate)
      : c_(connection), arrived_(std::move(arrived)), limits_(limits), gate_(gate) {
    c_.received = arrived_.size();
  }
  ~ConnectionStream() override { gate_.release(pending_.size()); }

  bool is_readable() const override {
    return pos_ < arrived_.size() ||
           wait_for(c_.fd, POLLIN, gate_.stop_fd(), read_deadline()) == Wait::kReady;
  }
  bool is_writable() const override {
    return !pending_.empty() ||
           wait_for(c_.fd, POLLOUT, -1, Clock::now() + limits_.send_time) == Wait::kReady;
  }

  ssize_t read(char* ptr, size_t size) override {
    if (c_.cut != Cut::kNone) return -1;
    if (pos_ < arrived_.size()) {
      const std::size_t n = std::min(size, arrived_.size() - pos_);
      std::memcpy(ptr, arrived_.data() + pos_, n);
      pos_ += n;
      return static_cast<ssize_t>(n);
    }
    for (;;) {
      switch (wait_for(c_.fd, POLLIN, gate_.stop_fd(), read_deadline())) {
        case Wait::kStopping:
          c_.cut = Cut::kStopping;
          return -1;
        case Wait::kTimedOut:
          c_.cut = Cut::kTimedOut;
          return -1;
        case Wait::kReady:
          break;
      }
      const ssize_t n = ::recv(c_.fd, ptr, size, MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n > 0) c_.received += static_cast<std::size_t>(n);
      return n;
    }
  }

  // Answers are sent in full even while the service stops: a request that was being served
  // when the signal came still gets its answer.
  ssize_t write(const char* ptr, size_t size) override {
    std::size_t done = 0;
    if (pending_.empty() && !c_.wait_on_client) {
      done = send_now(ptr, size);
      if (done == kBroken) return -1;
      if (done == size) return static_cast<ssize_t>(size);
    }
    if (!c_.wait_on_client && gate_.reserve(size - done)) {
      pending_.append(ptr + done, size - done);
      c_.sent += size - done;
      return static_cast<ssize_t>(size);
    }
    // Sent from here, waiting on the client: what is kept goes first.
    c_.wait_on_client = true;
    if (!pending_.empty()) {
      if (!send_waiting(pending_.data(), pending_.size(), false)) return -1;
      gate_.release(pending_.size());
      std::string().swap(pending_);
    }
    return send_waiting(ptr + done, size - done, true) ? static_cast<ssize_t>(size) : -1;
  }

  // What the socket has not taken yet, for the gate to send; its room is the gate's from now.
  std::string take_unsent() { return std::exchange(pending_, std::string()); }

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
  static constexpr std::size_t kBroken = static_cast<std::size_t>(-1);

  Clock::time_point read_deadline() const { return c_.head_done + limits_.body_time; }

  // As much as the socket takes without waiting; kBroken when the connection is gone.
  std::size_t send_now(const char* ptr, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::send(c_.fd, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) return kBroken;
      done += static_cast<std::size_t>(n);
    }
    c_.sent += done;
    return done;
  }

  bool send_waiting(const char* ptr, std::size_t size, bool count) {
    std::size_t done = 0;
    while (done < size) {
      if (wait_for(c_.fd, POLLOUT, -1, Clock::now() + limits_.send_time) != Wait::kReady) {
        return false;
      }
      const ssize_t n = ::send(c_.fd, ptr + done, size - done, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
      if (count) c_.sent += static_cast<std::size_t>(n);
    }
    return true;
  }

  Connection& c_;
  std::string arrived_;
  std::size_t pos_ = 0;
  const HttpLimits& limits_;
  ConnectionGate& gate_;
  std::string pending_;
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
  if (!answer.file) {
    response.set_content(std::move(answer.body), answer.content_type.c_str());
    return;
  }
  // A file goes out a piece at a time, straight from disk, by this thread.
  if (current_connection != nullptr) current_connection->wait_on_client = true;
  const std::shared_ptr<const FileBody> file = std::move(answer.file);
  response.set_content_provider(
      static_cast<std::size_t>(file->size()), answer.content_type,
      [file](std::size_t offset, std::size_t length, httplib::DataSink& sink) {
        std::array<char, 1 << 16> piece;
        const ssize_t n = file->read_at(offset, piece.data(), std::min(length, piece.size()));
        return n > 0 && sink.write(piece.data(), static_cast<std::size_t>(n));
      });
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

// The request line's method and target, for the log of a request the gate refused.
std::pair<std::string, std::string> request_line(std::string_view head) {
  const std::string_view line = head.substr(0, head.find("\r\n"));
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos) return {"-", "-"};
  const std::size_t second = line.find(' ', space + 1);
  if (second == std::string_view::npos) return {"-", "-"};
  return {std::string(line.substr(0, space)),
          std::string(line.substr(space + 1, second - space - 1))};
}

// Requests that never wait on a device or the screen and take little work: the service's health
// and the built-in test camera. They are served by their own few threads, so they are answered
// at once however many requests wait for a stalled camera. (The list of sources may be a
// megabyte of text: it is not among them.)
bool is_quick(std::string_view head) {
  const auto [method, target] = request_line(head);
  const std::string_view path = std::string_view(target).substr(0, target.find('?'));
  if (method == "GET" && path == "/api/health") return true;
  const std::size_t question = target.find('?');
  if (question == std::string::npos) return false;
  std::string_view query = std::string_view(target).substr(question + 1);
  bool test_camera = false;
  while (!query.empty()) {
    const std::size_t amp = query.find('&');
    const std::string_view param = query.substr(0, amp);
    if (param.starts_with("device=")) test_camera = param == "device=test";
    if (amp == std::string_view::npos) break;
    query.remove_prefix(amp + 1);
  }
  return test_camera;
}

std::string raw_refusal(int status, const char* reason, const std::string& message) {
  const std::string body = error_body(message);
  return "HTTP/1.1 " + std::to_string(status) + " " + reason +
         "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
         "\r\nConnection: close\r\n\r\n" + body;
}

// Threads for the quick requests.
constexpr std::size_t kQuickThreads = 4;

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
      ::listen(fd, SOMAXCONN) != 0) {
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
      : api_(api),
        port_(socket.port),
        limits_(limits),
        gate_(
            socket.fd, gate_limits(limits),
            [this](ArrivedRequest request) { dispatch(std::move(request)); },
            [](GateRefusal why, std::string_view head, Clock::time_point opened) {
              return refused_by_gate(why, head, opened);
            }),
        quick_(kQuickThreads),
        work_(limits.threads) {
    // The library sends a body from a provider only while this names a socket; the gate owns
    // the socket and closes it when the service stops, but answers in progress still finish.
    svr_sock_ = socket.fd;
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
                  response.body.empty() ? response.content_length_ : response.body.size(),
                  connection->opened);
    });
  }

  // Serves until stop(); requests being served finish first.
  bool serve() {
    const bool ok = gate_.run();
    stop_threads();
    return ok;
  }

  ~Server() override { stop_threads(); }

  void shut() { gate_.stop(); }

 private:
  void stop_threads() {
    if (std::exchange(threads_stopped_, true)) return;
    quick_.shutdown();
    work_.shutdown();
  }

  static GateLimits gate_limits(const HttpLimits& limits) {
    GateLimits gate;
    gate.max_head = limits.max_head;
    gate.max_body = limits.max_body;
    gate.head_time = limits.head_time;
    gate.body_time = limits.body_time;
    gate.send_time = limits.send_time;
    gate.max_pending_bytes = limits.max_pending_bytes;
    // Room for the service's own descriptors (cameras, files, fetches, the display) besides.
    const std::size_t descriptors = raise_descriptor_limit();
    gate.max_connections =
        std::min(limits.max_connections, descriptors > 512 ? descriptors - 256 : descriptors / 2);
    return gate;
  }

  static std::string refused_by_gate(GateRefusal why, std::string_view head,
                                     Clock::time_point opened) {
    const auto [status, reason, message] =
        why == GateRefusal::kHeadTooLarge
            ? std::make_tuple(413, "Payload Too Large",
                              std::string("the request head is larger than 16 KiB"))
        : why == GateRefusal::kTimedOut
            ? std::make_tuple(408, "Request Timeout", library_refusal_text(408))
            : std::make_tuple(503, "Service Unavailable", std::string("the service is stopping"));
    const auto [method, target] = why == GateRefusal::kHeadTooLarge
                                      ? std::pair<std::string, std::string>{"-", "-"}
                                      : request_line(head);
    log_request(method, target, status, error_body(message).size(), opened);
    return raw_refusal(status, reason, message);
  }

  void dispatch(ArrivedRequest request) {
    httplib::ThreadPool& lane =
        is_quick(std::string_view(request.bytes).substr(0, request.head_size)) ? quick_ : work_;
    lane.enqueue([this, request = std::move(request)]() mutable { serve_one(std::move(request)); });
  }

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
    if (connection != nullptr && connection->cut == Cut::kTimedOut) {
      response.status = 408;
      response.set_content(error_body(library_refusal_text(408)), "application/json");
    } else if (connection != nullptr && connection->cut == Cut::kStopping) {
      response.status = 503;
      response.set_content(error_body("the service is stopping"), "application/json");
    } else if (response.body.empty()) {
      response.set_content(error_body(library_refusal_text(response.status)), "application/json");
    }
  }

  void serve_one(ArrivedRequest arrived) {
    Connection connection;
    connection.fd = arrived.fd;
    connection.opened = arrived.opened;
    connection.head_done = arrived.head_done;
    current_connection = &connection;
    std::string unsent;
    {
      ConnectionStream stream(connection, std::move(arrived.bytes), limits_, gate_);
      bool closed = false;
      {
        ClientWatch watch(connection.fd);
        process_request(stream, true, closed, nullptr);
      }
      // The library gives up without a word when the request is cut off before it could
      // answer; a client that sent something still deserves an answer.
      if (connection.sent == 0 && connection.received > 0 && connection.cut != Cut::kNone) {
        const bool timed_out = connection.cut == Cut::kTimedOut;
        const std::string answer =
            timed_out ? raw_refusal(408, "Request Timeout", library_refusal_text(408))
                      : raw_refusal(503, "Service Unavailable", "the service is stopping");
        connection.cut = Cut::kNone;
        stream.write(answer.data(), answer.size());
        log_request("-", "-", timed_out ? 408 : 503, 0, connection.opened);
      }
      unsent = stream.take_unsent();
    }
    current_connection = nullptr;
    gate_.hand_back(connection.fd, std::move(unsent));
  }

  Api& api_;
  int port_;
  HttpLimits limits_;
  ConnectionGate gate_;
  httplib::ThreadPool quick_;
  httplib::ThreadPool work_;
  bool threads_stopped_ = false;
};

HttpService::HttpService(Api& api, ListeningSocket socket, HttpLimits limits)
    : server_(std::make_unique<Server>(api, socket, limits)) {}

HttpService::~HttpService() = default;

bool HttpService::serve() { return server_->serve(); }

void HttpService::stop() { server_->shut(); }

}  // namespace app
