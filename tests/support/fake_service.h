// A scripted stand-in for the capture service: a TCP listener on 127.0.0.1 that records the raw
// bytes of each request and answers each connection with the raw bytes the test gives.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testing_support {

struct Reply {
  // Sent in order, each piece after `pause`; then the connection is closed. No pieces: the
  // request is read and the connection closed without a word.
  std::vector<std::string> pieces;
  std::chrono::milliseconds pause{0};
};

// A reply of one piece.
Reply reply(std::string bytes);
// "HTTP/1.1 {status} X\r\nContent-Type: application/json\r\n\r\n{body}".
Reply json_reply(int status, const std::string& body);

class FakeService {
 public:
  FakeService();
  ~FakeService();
  FakeService(const FakeService&) = delete;
  FakeService& operator=(const FakeService&) = delete;

  std::uint16_t port() const { return port_; }
  std::string port_text() const { return std::to_string(port_); }

  // Queues the answer for the next connection. Connections beyond the script are recorded and
  // closed without an answer.
  void add(Reply reply);
  // Queues an answer without end: `reply`'s pieces, then `repeated` again and again until the
  // client goes away.
  void add_endless(Reply reply, std::string repeated);

  // The raw bytes of every request received so far, in order: the head up to the empty line
  // and then as many bytes as its Content-Length announced.
  std::vector<std::string> requests() const;

 private:
  void serve();

  int listener_ = -1;
  std::uint16_t port_ = 0;
  mutable std::mutex mutex_;
  struct Scripted {
    Reply reply;
    std::string repeated;  // empty: close after the pieces
  };
  std::deque<Scripted> script_;
  std::vector<std::string> requests_;
  bool stopping_ = false;
  std::thread thread_;
};

// A loopback port that was free a moment ago and has no listener now.
std::uint16_t unused_port();

// A new empty folder under $TMPDIR (else /tmp), for a test's files.
std::string make_temp_dir();

}  // namespace testing_support
