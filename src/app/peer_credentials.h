// Who is on the other end of a loopback TCP connection. TCP carries no credentials, but the
// kernel knows which user owns every socket on this machine; its socket table is asked through
// netlink (sock_diag) for the socket at the connection's far end.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <variant>

namespace app {

// The user owning the peer's socket of the accepted TCP connection `fd`, when the peer is on
// this machine; else the reason it could not be learned.
std::variant<uid_t, std::string> loopback_peer_uid(int fd);

}  // namespace app
