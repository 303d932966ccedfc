// The HTTP side of the service: a listening socket on 127.0.0.1, cpp-httplib underneath, and
// what the library leaves to us: one request per connection (the answer is followed by the
// connection's close, which the client reads to), bounded request heads and bodies, deadlines
// for requests that stall, a thread only for a request that has fully arrived, the guards, and
// one log line per request on standard error.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>

#include "app/api.h"
#include "app/failure.h"

namespace app {

struct HttpLimits {
  std::size_t max_head = 16 * 1024;  // request line and headers
  std::size_t max_body = 64 * 1024;
  std::chrono::milliseconds head_time{10'000};  // from connect to the end of the head
  std::chrono::milliseconds body_time{10'000};  // from the end of the head to the end of the body
  std::chrono::milliseconds send_time{60'000};  // the longest a client may stop reading
  // Requests served at once that may wait on a device or the screen; each holds a thread while
  // it is served (a focus sweep or a recording included), never while it arrives or while a slow
  // reader takes its answer. Health and the test camera have threads of their own.
  std::size_t threads = 32;
  // Connections open at once (also bounded by the descriptor limit); beyond it the oldest that
  // has not sent its whole request head is closed.
  std::size_t max_connections = 4096;
  // Answers kept for slow readers, all together; beyond it a worker waits on its client.
  std::size_t max_pending_bytes = 256u << 20;
};

struct ListeningSocket {
  int fd = -1;
  int port = 0;
};

// Listens on 127.0.0.1:port (0: a free port chosen by the system), or says why it cannot.
Result<ListeningSocket> listen_on_loopback(int port);

class HttpService {
 public:
  HttpService(Api& api, ListeningSocket socket, HttpLimits limits = {});
  ~HttpService();
  HttpService(const HttpService&) = delete;
  HttpService& operator=(const HttpService&) = delete;

  // Serves until stop(); requests already being answered are finished first, requests still
  // arriving are cut off. False when accepting failed.
  bool serve();
  // From any thread.
  void stop();

 private:
  class Server;
  std::unique_ptr<Server> server_;
};

}  // namespace app
