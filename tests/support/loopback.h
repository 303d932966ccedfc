// TCP sockets on 127.0.0.1 for the tests' and benchmarks' fake peers: nothing here ever binds or
// connects to any other address.
#pragma once

#include <netinet/in.h>

#include <cstdint>

namespace testing_support {

struct LoopbackListener {
  int fd = -1;
  std::uint16_t port = 0;  // picked by the kernel
};

// A listening, close-on-exec TCP socket on 127.0.0.1 at a free port; throws std::runtime_error
// when the kernel refuses one. The caller closes `fd`.
LoopbackListener listen_on_loopback(int backlog);

// The address of `port` on 127.0.0.1, for connect().
sockaddr_in loopback_address(std::uint16_t port);

}  // namespace testing_support
