// A connection to the session bus for talking to the desktop portal. Portal methods answer
// twice: the call returns a request object at once, and the real answer comes later as that
// request's Response signal (after the user has answered a dialog, perhaps). `request` hides
// that: it subscribes to the Response on the predicted path before calling, waits with a
// deadline, and closes the request when it gives up, so no dialog is left on the screen.
//
// One PortalBus is used from one thread at a time.
#pragma once

#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/failure.h"

namespace app::portal {

inline constexpr const char* kPortalName = "org.freedesktop.portal.Desktop";
inline constexpr const char* kPortalPath = "/org/freedesktop/portal/desktop";

// One stream a screen cast hands out: a PipeWire node showing one monitor.
struct PortalStream {
  std::uint32_t node = 0;
  int x = 0;  // the monitor's place in the desktop's layout, when told
  int y = 0;
  int width = 0;  // the monitor's size, when told (else 0)
  int height = 0;
  std::string id;  // the desktop's own name for the stream, when told
};

// The members of a Response's results that this service reads.
struct PortalResults {
  std::optional<std::string> session_handle;
  std::optional<std::string> restore_token;
  std::vector<PortalStream> streams;
};

// How a request ended: 0 granted, 1 cancelled by the user, 2 ended another way (refused).
struct PortalAnswer {
  std::uint32_t response = 2;
  PortalResults results;
};

struct MessageUnref {
  void operator()(sd_bus_message* message) const { sd_bus_message_unref(message); }
};
using MessageRef = std::unique_ptr<sd_bus_message, MessageUnref>;

// Appends the call's arguments; `handle_token` goes into its options as "handle_token".
using ArgumentWriter = std::function<int(sd_bus_message* call, const std::string& handle_token)>;

class PortalBus {
 public:
  // The session bus of this process's environment; a 503 Failure when there is none.
  static Result<std::unique_ptr<PortalBus>> open();
  ~PortalBus();
  PortalBus(const PortalBus&) = delete;
  PortalBus& operator=(const PortalBus&) = delete;

  sd_bus* bus() const { return bus_; }

  // A token unique within this connection, for handle_token and session_handle_token.
  std::string next_token();

  // A u32 property of a portal interface, or nothing when the portal or interface is missing.
  std::optional<std::uint32_t> interface_version(const char* interface, const char* property);

  // Calls `method` of `interface` on the portal and waits up to `patience` for its Response.
  // On timeout the request is closed and a 503 Failure with `waited_too_long` is returned.
  Result<PortalAnswer> request(const char* interface, const char* method,
                               const ArgumentWriter& arguments,
                               std::chrono::milliseconds patience,
                               const std::string& waited_too_long);

  // A plain method call on the portal (no Response); the reply, or a 503 Failure.
  Result<MessageRef> call(const char* interface, const char* method,
                               const ArgumentWriter& arguments);

 private:
  explicit PortalBus(sd_bus* bus);
  sd_bus* bus_ = nullptr;
  std::string sender_;  // our unique name as it appears in request paths
  unsigned counter_ = 0;
};

// Reads an a{sv} of portal results, taking the members PortalResults knows and skipping others.
int read_results(sd_bus_message* message, PortalResults& results);

// Text for a failed call: the D-Bus error, with the portal's absence named as such.
std::string describe_bus_error(const sd_bus_error& error, int code);

}  // namespace app::portal
