#include "app/peer_credentials.h"

#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace app {
namespace {

std::string os_error(const char* what) { return std::string(what) + ": " + std::strerror(errno); }

// Our end as the peer sees it is the peer's destination: the socket to find is the one whose
// source is the peer's address and whose destination is ours.
bool fill_id(const sockaddr_storage& peer, const sockaddr_storage& own, inet_diag_sockid& id) {
  if (peer.ss_family == AF_INET) {
    const auto& p = reinterpret_cast<const sockaddr_in&>(peer);
    const auto& o = reinterpret_cast<const sockaddr_in&>(own);
    id.idiag_sport = p.sin_port;
    id.idiag_dport = o.sin_port;
    std::memcpy(id.idiag_src, &p.sin_addr, sizeof p.sin_addr);
    std::memcpy(id.idiag_dst, &o.sin_addr, sizeof o.sin_addr);
    return true;
  }
  if (peer.ss_family == AF_INET6) {
    const auto& p = reinterpret_cast<const sockaddr_in6&>(peer);
    const auto& o = reinterpret_cast<const sockaddr_in6&>(own);
    id.idiag_sport = p.sin6_port;
    id.idiag_dport = o.sin6_port;
    std::memcpy(id.idiag_src, &p.sin6_addr, sizeof p.sin6_addr);
    std::memcpy(id.idiag_dst, &o.sin6_addr, sizeof o.sin6_addr);
    return true;
  }
  return false;
}

}  // namespace

std::variant<uid_t, std::string> loopback_peer_uid(int fd) {
  sockaddr_storage peer{}, own{};
  socklen_t peer_length = sizeof peer, own_length = sizeof own;
  if (::getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peer_length) != 0) {
    return os_error("the connection has no peer");
  }
  if (::getsockname(fd, reinterpret_cast<sockaddr*>(&own), &own_length) != 0) {
    return os_error("the connection has no address");
  }

  struct {
    nlmsghdr header;
    inet_diag_req_v2 request;
  } message{};
  message.header.nlmsg_len = sizeof message;
  message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
  message.header.nlmsg_flags = NLM_F_REQUEST;
  message.request.sdiag_family = static_cast<std::uint8_t>(peer.ss_family);
  message.request.sdiag_protocol = IPPROTO_TCP;
  message.request.idiag_states = ~0u;
  message.request.id.idiag_cookie[0] = INET_DIAG_NOCOOKIE;
  message.request.id.idiag_cookie[1] = INET_DIAG_NOCOOKIE;
  if (!fill_id(peer, own, message.request.id)) return std::string("the connection is not TCP/IP");

  const int diag = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
  if (diag < 0) return os_error("cannot ask the kernel's socket table");
  sockaddr_nl kernel{};
  kernel.nl_family = AF_NETLINK;
  if (::sendto(diag, &message, sizeof message, 0, reinterpret_cast<sockaddr*>(&kernel),
               sizeof kernel) != static_cast<ssize_t>(sizeof message)) {
    const std::string why = os_error("cannot ask the kernel's socket table");
    ::close(diag);
    return why;
  }
  alignas(nlmsghdr) char answer[8192];
  ssize_t received = 0;
  do {
    received = ::recv(diag, answer, sizeof answer, 0);
  } while (received < 0 && errno == EINTR);
  const int recv_error = errno;
  ::close(diag);
  if (received < 0) {
    errno = recv_error;
    return os_error("the kernel's socket table did not answer");
  }
  auto length = static_cast<unsigned int>(received);
  for (auto* header = reinterpret_cast<nlmsghdr*>(answer); NLMSG_OK(header, length);
       header = NLMSG_NEXT(header, length)) {
    if (header->nlmsg_type == NLMSG_ERROR) {
      const auto* error = static_cast<const nlmsgerr*>(NLMSG_DATA(header));
      // ENOENT: no socket on this machine has that address, so the peer is not local.
      return std::string("the kernel's socket table has no such connection on this machine (") +
             std::strerror(-error->error) + ")";
    }
    if (header->nlmsg_type == SOCK_DIAG_BY_FAMILY &&
        header->nlmsg_len >= NLMSG_LENGTH(sizeof(inet_diag_msg))) {
      return static_cast<uid_t>(static_cast<const inet_diag_msg*>(NLMSG_DATA(header))->idiag_uid);
    }
  }
  return std::string("the kernel's socket table gave no answer for the connection");
}

}  // namespace app
