// A deliberately plain HTTP client for driving the service: it sends exactly the bytes a test
// gives, reads the answer to the end of the stream, and splits it into status, headers and body.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <string>
#include <utility>
#include <vector>

namespace service_test {

struct Answer {
  int status = 0;  // 0: no status line came back
  std::vector<std::pair<std::string, std::string>> headers;
  std::string body;
  bool closed = false;  // the service closed the connection after the answer

  // The first header of that name (any case), or "".
  std::string header(const std::string& name) const;
  // The body as JSON; null when it is not JSON.
  nlohmann::json json() const;
  // The "error" member of the body, or "".
  std::string error() const;
};

// An answer's bytes split into status, headers and body.
Answer parse_answer(const std::string& bytes);

// Connects to 127.0.0.1:port, sends `request`, reads until the service closes.
Answer round_trip(int port, const std::string& request,
                std::chrono::milliseconds timeout = std::chrono::seconds(30));

// The request heads the tirvane client sends, with `extra` header lines (each ending "\r\n")
// added before the blank line.
std::string get_request(int port, const std::string& target, const std::string& extra = "");
std::string post_request(int port, const std::string& target, const std::string& body,
                         const std::string& extra = "",
                         const std::string& content_type = "application/json");

Answer get(int port, const std::string& target, const std::string& extra = "");
Answer post(int port, const std::string& target, const std::string& body,
            const std::string& extra = "");

// An open connection on which a test sends bytes in its own time.
class RawConnection {
 public:
  // With `receive_buffer`, the socket's receive buffer is that small, so that a client that
  // does not read holds the sender up soon.
  explicit RawConnection(int port, int receive_buffer = 0);
  ~RawConnection();
  RawConnection(const RawConnection&) = delete;
  RawConnection& operator=(const RawConnection&) = delete;
  bool send(const std::string& bytes);
  // Reads until the service closes or `timeout` passes.
  Answer read_answer(std::chrono::milliseconds timeout = std::chrono::seconds(30));
  // Up to `at_most` bytes as they come, until the service closes or `timeout` passes.
  std::string read_bytes(std::size_t at_most, std::chrono::milliseconds timeout);

 private:
  int fd_ = -1;
};

}  // namespace service_test
