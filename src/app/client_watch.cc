#include "app/client_watch.h"

#include <poll.h>

namespace app {
namespace {

thread_local int watched_fd = -1;

}  // namespace

ClientWatch::ClientWatch(int fd) : previous_(watched_fd) { watched_fd = fd; }

ClientWatch::~ClientWatch() { watched_fd = previous_; }

bool client_gone() {
  if (watched_fd < 0) return false;
  pollfd watched{watched_fd, POLLRDHUP, 0};
  if (::poll(&watched, 1, 0) <= 0) return false;
  return (watched.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

Failure client_gone_failure() {
  return Failure{FailureKind::kUnavailable, "stopped: the client went away"};
}

}  // namespace app
