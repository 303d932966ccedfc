// The door of the HTTP side: one thread that accepts every connection, reads each request into a
// buffer of its own and only then hands it to a worker, and takes the connection back afterwards
// to send what a slow reader has not yet taken and to close it gently. A client that sends its
// request slowly, says nothing, or reads its answer slowly holds a little memory here, never a
// worker thread. Plain sockets and epoll; nothing here knows HTTP beyond where a head ends and
// how long its body says it is.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <string_view>

namespace app {

using GateClock = std::chrono::steady_clock;

struct GateLimits {
  std::size_t max_head = 16 * 1024;
  std::size_t max_body = 64 * 1024;
  std::chrono::milliseconds head_time{10'000};  // from connect to the end of the head
  std::chrono::milliseconds body_time{10'000};  // from the end of the head to the end of the body
  std::chrono::milliseconds send_time{60'000};  // the longest a client may stop reading
  // Connections open at once. One more, and the oldest that has not sent its whole head yet is
  // closed to make room.
  std::size_t max_connections = 1024;
  // Answers held for clients that read slowly, all together; beyond it a worker sends its answer
  // itself, waiting on the client.
  std::size_t max_pending_bytes = 256u << 20;
  // How long answers still being sent may keep the service from stopping.
  std::chrono::milliseconds stop_time{5'000};
};

// A connection whose request has arrived: the whole head, and the whole body when the head states
// a length within the limit. Anything else (a larger body, chunks, a client waiting for
// "100 Continue") the worker reads from the socket itself.
struct ArrivedRequest {
  int fd = -1;
  GateClock::time_point opened;
  GateClock::time_point head_done;
  std::string bytes;
  std::size_t head_size = 0;
};

// Why the gate answered a connection itself.
enum class GateRefusal { kHeadTooLarge, kTimedOut, kStopping };

class ConnectionGate {
 public:
  // Called on the gate's thread with a request to serve; it must pass it on and return at once.
  // The worker gives the connection back with hand_back().
  using RequestHandler = std::function<void(ArrivedRequest)>;
  // The whole answer (status line to body) for a connection refused by the gate, which is also
  // the place to log it. `head` is what arrived of the request.
  using RefusalAnswer =
      std::function<std::string(GateRefusal, std::string_view head, GateClock::time_point opened)>;

  ConnectionGate(int listen_fd, GateLimits limits, RequestHandler on_request,
                 RefusalAnswer refusal_answer);
  ~ConnectionGate();
  ConnectionGate(const ConnectionGate&) = delete;
  ConnectionGate& operator=(const ConnectionGate&) = delete;

  // Serves until stop(), then until every request handed out has come back and its answer has
  // gone (or the stop time has passed). Closes the listening socket. False when epoll failed.
  bool run();
  // From any thread.
  void stop();
  // A descriptor that becomes readable, and stays so, once stop() has been called.
  int stop_fd() const;

  // From a worker that has written what the socket took at once: the gate sends `rest` (its
  // bytes reserved with reserve()), then closes the connection gently.
  void hand_back(int fd, std::string rest);
  // Sets aside room for `n` bytes of answer to send later: false when the cap would be passed.
  bool reserve(std::size_t n);
  // Gives back room that reserve() set aside and that will not be handed over.
  void release(std::size_t n);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The soft limit on open descriptors raised to the hard one; the limit now in force.
std::size_t raise_descriptor_limit();

}  // namespace app
