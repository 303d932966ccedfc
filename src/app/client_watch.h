// The client connection the current thread is answering, so that long work (a fetch from a
// stalled camera, a wait for a busy device) can stop as soon as nobody is waiting for its answer.
#pragma once

#include <optional>

#include "app/failure.h"

namespace app {

// Names the connection this thread answers (-1: none) for as long as it lives.
class ClientWatch {
 public:
  explicit ClientWatch(int fd);
  ~ClientWatch();
  ClientWatch(const ClientWatch&) = delete;
  ClientWatch& operator=(const ClientWatch&) = delete;

 private:
  int previous_;
};

// True when the client of the current request has closed its end or reset the connection.
// Clients of this service send their whole request and then only read, so a closed end means
// the answer would go nowhere. False on a thread that answers no connection.
bool client_gone();

// The failure that ends work whose client has gone (no one reads it; it is logged).
Failure client_gone_failure();

}  // namespace app
