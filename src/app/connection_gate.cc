#include "app/connection_gate.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <mutex>
#include <optional>
#include <span>
#include <unordered_map>
#include <utility>
#include <vector>

namespace app {
namespace {

using Clock = GateClock;

// After the answer, what the client still sends is read and dropped so that closing does not
// reset the connection under an answer it has not read yet: while it keeps coming, for 2 s and
// 1 MiB at most.
constexpr std::chrono::milliseconds kLingerIdle{100};
constexpr std::chrono::milliseconds kLingerTotal{2'000};
constexpr std::size_t kLingerBytes = 1u << 20;

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return (x | 0x20) == (y | 0x20);
         });
}

std::string_view trimmed(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

// How many body bytes to read before handing the request on: the stated length when it is the
// only framing and within the limit; else none (the worker reads, or refuses, what follows).
std::size_t body_to_read(std::string_view head, std::size_t max_body) {
  std::optional<std::size_t> length;
  std::size_t at = head.find("\r\n");
  while (at != std::string_view::npos && at + 2 < head.size()) {
    const std::size_t start = at + 2;
    const std::size_t end = head.find("\r\n", start);
    if (end == std::string_view::npos || end == start) break;
    const std::string_view line = head.substr(start, end - start);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos) {
      const std::string_view name = line.substr(0, colon);
      const std::string_view value = trimmed(line.substr(colon + 1));
      if (equal_ignoring_case(name, "Transfer-Encoding") || equal_ignoring_case(name, "Expect")) {
        return 0;
      }
      if (equal_ignoring_case(name, "Content-Length")) {
        std::size_t n = 0;
        const auto [end_of_number, error] =
            std::from_chars(value.data(), value.data() + value.size(), n);
        if (length || error != std::errc() || end_of_number != value.data() + value.size())
          return 0;
        length = n;
      }
    }
    at = end;
  }
  return length && *length <= max_body ? *length : 0;
}

}  // namespace

std::size_t raise_descriptor_limit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 1024;
  if (limit.rlim_cur < limit.rlim_max) {
    rlimit raised = limit;
    raised.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &raised) == 0) limit = raised;
  }
  return limit.rlim_cur == RLIM_INFINITY ? (1u << 20) : static_cast<std::size_t>(limit.rlim_cur);
}

struct ConnectionGate::State {
  enum class Phase { kReading, kWithWorker, kSending, kLingering };

  struct Connection {
    Phase phase = Phase::kReading;
    Clock::time_point opened = Clock::now();
    Clock::time_point head_done{};
    Clock::time_point deadline{};  // of the phase's next step
    Clock::time_point linger_until{};
    std::string bytes;  // reading: what arrived; sending: the answer's rest
    std::size_t head_size = 0;
    std::size_t wanted = 0;  // reading: head and body, once the head is known
    std::size_t sent = 0;
    std::size_t reserved = 0;  // of `bytes`, counted in pending_bytes
    std::size_t drained = 0;
    std::list<int>::iterator in_arrival{};  // while reading
  };

  State(int listen, GateLimits gate_limits, RequestHandler handler, RefusalAnswer refusal)
      : listen_fd(listen),
        limits(gate_limits),
        on_request(std::move(handler)),
        refusal_answer(std::move(refusal)) {}

  int listen_fd;
  GateLimits limits;
  RequestHandler on_request;
  RefusalAnswer refusal_answer;
  int epoll_fd = -1;
  std::array<int, 2> stop_pipe{-1, -1};
  int wake_fd = -1;

  std::unordered_map<int, Connection> connections;
  std::list<int> arrival;  // connections still reading, oldest first
  std::size_t with_workers = 0;
  bool accepting = true;  // the listening socket is watched
  bool stopping = false;
  Clock::time_point stop_by{};

  std::mutex handed_mutex;
  std::vector<std::pair<int, std::string>> handed;
  std::atomic<std::size_t> pending_bytes{0};

  void watch(int fd, std::uint32_t events, int op) {
    epoll_event event{};
    event.events = events;
    event.data.fd = fd;
    ::epoll_ctl(epoll_fd, op, fd, &event);
  }

  void close_connection(int fd) {
    auto found = connections.find(fd);
    if (found == connections.end()) return;
    if (found->second.phase == Phase::kReading) arrival.erase(found->second.in_arrival);
    pending_bytes -= found->second.reserved;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    ::close(fd);
    connections.erase(found);
    if (!accepting && !stopping) {
      accepting = true;
      watch(listen_fd, EPOLLIN, EPOLL_CTL_ADD);
    }
  }

  // Makes room for one more connection: closes the oldest that has not sent its whole head.
  bool evict_oldest_reader() {
    if (arrival.empty()) return false;
    close_connection(arrival.front());
    return true;
  }

  void accept_all() {
    for (;;) {
      const int fd = ::accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0) {
        if (errno == EINTR || errno == ECONNABORTED) continue;
        if ((errno == EMFILE || errno == ENFILE) && evict_oldest_reader()) continue;
        if (errno == EMFILE || errno == ENFILE) {
          // Nothing to make room with: wait until a connection closes.
          accepting = false;
          ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, listen_fd, nullptr);
        }
        return;
      }
      if (connections.size() >= limits.max_connections && !evict_oldest_reader()) {
        ::close(fd);
        continue;
      }
      const int one = 1;
      ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      Connection& connection = connections[fd];
      connection.deadline = connection.opened + limits.head_time;
      arrival.push_back(fd);
      connection.in_arrival = std::prev(arrival.end());
      watch(fd, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
    }
  }

  void hand_to_worker(int fd, Connection& connection) {
    arrival.erase(connection.in_arrival);
    connection.phase = Phase::kWithWorker;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, fd, nullptr);
    ++with_workers;
    ArrivedRequest request{fd, connection.opened, connection.head_done, std::move(connection.bytes),
                           connection.head_size};
    on_request(std::move(request));
  }

  // Sends `answer` from the gate and closes afterwards.
  void start_sending(int fd, Connection& connection, std::string answer, std::size_t reserved) {
    if (connection.phase == Phase::kReading) arrival.erase(connection.in_arrival);
    const bool was_watched = connection.phase == Phase::kReading;
    connection.phase = Phase::kSending;
    connection.bytes = std::move(answer);
    connection.sent = 0;
    connection.reserved = reserved;
    connection.deadline = Clock::now() + limits.send_time;
    watch(fd, EPOLLOUT, was_watched ? EPOLL_CTL_MOD : EPOLL_CTL_ADD);
    send_some(fd, connection);
  }

  void refuse(int fd, Connection& connection, GateRefusal why) {
    if (connection.bytes.empty()) {  // a connection that said nothing is closed without a word
      close_connection(fd);
      return;
    }
    const std::string_view head =
        std::string_view(connection.bytes)
            .substr(0, connection.head_size ? connection.head_size : connection.bytes.size());
    start_sending(fd, connection, refusal_answer(why, head, connection.opened), 0);
  }

  void read_some(int fd, Connection& connection) {
    std::array<char, 16384> chunk;
    for (;;) {
      const ssize_t n = ::recv(fd, chunk.data(), chunk.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) {
        // The client closed its end (or reset): what it sent is all there is. The library makes
        // of it what it can; nothing at all is simply closed.
        if (connection.bytes.empty() || n < 0) {
          close_connection(fd);
        } else {
          hand_to_worker(fd, connection);
        }
        return;
      }
      const std::size_t before = connection.bytes.size();
      connection.bytes.append(chunk.data(), static_cast<std::size_t>(n));
      if (connection.head_size == 0) {
        const std::size_t from = before >= 3 ? before - 3 : 0;
        const std::size_t end = connection.bytes.find("\r\n\r\n", from);
        const std::size_t head_size = end == std::string::npos ? 0 : end + 4;
        if ((head_size == 0 && connection.bytes.size() > limits.max_head) ||
            head_size > limits.max_head) {
          connection.head_size = std::min(connection.bytes.size(), limits.max_head);
          refuse(fd, connection, GateRefusal::kHeadTooLarge);
          return;
        }
        if (head_size == 0) continue;
        connection.head_size = head_size;
        connection.head_done = Clock::now();
        connection.deadline = connection.head_done + limits.body_time;
        connection.wanted =
            head_size +
            body_to_read(std::string_view(connection.bytes).substr(0, head_size), limits.max_body);
      }
      if (connection.bytes.size() >= connection.wanted) {
        hand_to_worker(fd, connection);
        return;
      }
    }
  }

  void send_some(int fd, Connection& connection) {
    while (connection.sent < connection.bytes.size()) {
      const ssize_t n = ::send(fd, connection.bytes.data() + connection.sent,
                               connection.bytes.size() - connection.sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
      if (n <= 0) {
        close_connection(fd);
        return;
      }
      connection.sent += static_cast<std::size_t>(n);
      connection.deadline = Clock::now() + limits.send_time;
    }
    start_lingering(fd, connection);
  }

  void start_lingering(int fd, Connection& connection) {
    pending_bytes -= connection.reserved;
    connection.reserved = 0;
    std::string().swap(connection.bytes);
    ::shutdown(fd, SHUT_WR);
    connection.phase = Phase::kLingering;
    const Clock::time_point now = Clock::now();
    connection.linger_until = now + kLingerTotal;
    connection.deadline = now + kLingerIdle;
    watch(fd, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_MOD);
  }

  void drain_some(int fd, Connection& connection) {
    std::array<char, 16384> sink;
    for (;;) {
      const ssize_t n = ::recv(fd, sink.data(), sink.size(), 0);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        close_connection(fd);
        return;
      }
      connection.drained += static_cast<std::size_t>(n);
      if (connection.drained >= kLingerBytes) {
        close_connection(fd);
        return;
      }
    }
    connection.deadline = std::min(connection.linger_until, Clock::now() + kLingerIdle);
  }

  void take_handed() {
    std::uint64_t count = 0;
    [[maybe_unused]] const ssize_t n = ::read(wake_fd, &count, sizeof count);
    std::vector<std::pair<int, std::string>> taken;
    {
      std::lock_guard lock(handed_mutex);
      taken.swap(handed);
    }
    for (auto& [fd, rest] : taken) {
      --with_workers;
      Connection& connection = connections[fd];
      const std::size_t reserved = rest.size();
      connection.phase = Phase::kWithWorker;
      if (rest.empty()) {
        connection.phase = Phase::kSending;
        connection.reserved = 0;
        watch(fd, EPOLLIN | EPOLLRDHUP, EPOLL_CTL_ADD);
        start_lingering(fd, connection);
      } else {
        start_sending(fd, connection, std::move(rest), reserved);
      }
    }
  }

  void begin_stopping() {
    stopping = true;
    stop_by = Clock::now() + limits.stop_time;
    ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, stop_pipe[0], nullptr);
    if (accepting) ::epoll_ctl(epoll_fd, EPOLL_CTL_DEL, listen_fd, nullptr);
    accepting = false;
    ::close(listen_fd);
    listen_fd = -1;
    // Requests still arriving are cut off; those being served finish.
    while (!arrival.empty()) {
      const int fd = arrival.front();
      refuse(fd, connections[fd], GateRefusal::kStopping);
    }
  }

  void on_deadlines(Clock::time_point now) {
    std::vector<int> due;
    for (const auto& [fd, connection] : connections) {
      if (connection.phase == Phase::kWithWorker) continue;
      if (connection.deadline <= now || (stopping && now >= stop_by)) due.push_back(fd);
    }
    for (int fd : due) {
      Connection& connection = connections[fd];
      if (connection.phase == Phase::kReading) {
        refuse(fd, connection, GateRefusal::kTimedOut);
      } else {
        close_connection(fd);
      }
    }
  }

  int wait_ms(Clock::time_point now) const {
    Clock::time_point next = now + std::chrono::seconds(1);
    for (const auto& [fd, connection] : connections) {
      if (connection.phase != Phase::kWithWorker) next = std::min(next, connection.deadline);
    }
    if (stopping) next = std::min(next, stop_by);
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count();
    return static_cast<int>(std::clamp<std::int64_t>(left + 1, 0, 1000));
  }

  bool run() {
    if (epoll_fd < 0 || wake_fd < 0 || stop_pipe[0] < 0) return false;
    if (::fcntl(listen_fd, F_SETFL, ::fcntl(listen_fd, F_GETFL) | O_NONBLOCK) != 0) return false;
    watch(listen_fd, EPOLLIN, EPOLL_CTL_ADD);
    watch(stop_pipe[0], EPOLLIN, EPOLL_CTL_ADD);
    watch(wake_fd, EPOLLIN, EPOLL_CTL_ADD);
    std::array<epoll_event, 256> events;
    Clock::time_point next_sweep = Clock::now();
    for (;;) {
      if (stopping && with_workers == 0 && connections.empty()) {
        std::lock_guard lock(handed_mutex);
        if (handed.empty()) return true;
      }
      const int n = ::epoll_wait(epoll_fd, events.data(), static_cast<int>(events.size()),
                                 wait_ms(Clock::now()));
      if (n < 0 && errno != EINTR) return false;
      for (const epoll_event& event :
           std::span(events.data(), static_cast<std::size_t>(std::max(n, 0)))) {
        const int fd = event.data.fd;
        if (fd == stop_pipe[0]) {
          if (!stopping) begin_stopping();
          continue;
        }
        if (fd == wake_fd) {
          take_handed();
          continue;
        }
        if (fd == listen_fd) {
          if (accepting) accept_all();
          continue;
        }
        auto found = connections.find(fd);
        if (found == connections.end()) continue;
        Connection& connection = found->second;
        switch (connection.phase) {
          case Phase::kReading:
            read_some(fd, connection);
            break;
          case Phase::kSending:
            if ((event.events & (EPOLLERR | EPOLLHUP)) != 0) {
              close_connection(fd);
            } else {
              send_some(fd, connection);
            }
            break;
          case Phase::kLingering:
            drain_some(fd, connection);
            break;
          case Phase::kWithWorker:
            break;
        }
      }
      const Clock::time_point now = Clock::now();
      if (now >= next_sweep) {
        on_deadlines(now);
        next_sweep = now + std::chrono::milliseconds(10);
      }
    }
  }
};

ConnectionGate::ConnectionGate(int listen_fd, GateLimits limits, RequestHandler on_request,
                               RefusalAnswer refusal_answer)
    : state_(std::make_unique<State>(listen_fd, limits, std::move(on_request),
                                     std::move(refusal_answer))) {
  state_->epoll_fd = ::epoll_create1(EPOLL_CLOEXEC);
  if (::pipe2(state_->stop_pipe.data(), O_CLOEXEC | O_NONBLOCK) != 0) state_->stop_pipe = {-1, -1};
  state_->wake_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

ConnectionGate::~ConnectionGate() {
  for (const auto& [fd, connection] : state_->connections) ::close(fd);
  for (int fd : {state_->epoll_fd, state_->stop_pipe[0], state_->stop_pipe[1], state_->wake_fd,
                 state_->listen_fd}) {
    if (fd >= 0) ::close(fd);
  }
}

bool ConnectionGate::run() { return state_->run(); }

void ConnectionGate::stop() {
  if (state_->stop_pipe[1] >= 0) {
    [[maybe_unused]] const ssize_t n = ::write(state_->stop_pipe[1], "x", 1);
  }
}

int ConnectionGate::stop_fd() const { return state_->stop_pipe[0]; }

void ConnectionGate::hand_back(int fd, std::string rest) {
  {
    std::lock_guard lock(state_->handed_mutex);
    state_->handed.emplace_back(fd, std::move(rest));
  }
  const std::uint64_t one = 1;
  [[maybe_unused]] const ssize_t n = ::write(state_->wake_fd, &one, sizeof one);
}

bool ConnectionGate::reserve(std::size_t n) {
  const std::size_t before = state_->pending_bytes.fetch_add(n);
  if (before + n <= state_->limits.max_pending_bytes) return true;
  state_->pending_bytes -= n;
  return false;
}

void ConnectionGate::release(std::size_t n) { state_->pending_bytes -= n; }

}  // namespace app
