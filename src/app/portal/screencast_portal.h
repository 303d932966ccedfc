// A screen-cast session through the desktop portal: create a session, choose the monitors,
// start (the desktop shows its consent dialog unless a restore token lets it skip that), and
// open the PipeWire connection that carries the monitors' pictures.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/failure.h"
#include "app/portal/portal_bus.h"

namespace app::portal {

inline constexpr const char* kScreenCastInterface = "org.freedesktop.portal.ScreenCast";

// The words every refusal for missing consent ends with.
inline constexpr const char* kConsentHint =
    "run `tirvane-app --allow-screen` in your desktop session and answer the dialog once";

// A running session; closing it (or dropping the bus) ends the streams.
struct ScreenCast {
  std::unique_ptr<PortalBus> bus;  // the session lives as long as this connection
  std::string session_handle;
  std::vector<PortalStream> streams;
  std::optional<std::string> restore_token;  // the newest one, to be stored
  int pipewire_fd = -1;  // owned; a PipeWire connection that sees only the streams' nodes

  ScreenCast() = default;
  ScreenCast(ScreenCast&&) noexcept;
  ScreenCast& operator=(ScreenCast&&) = delete;
  ~ScreenCast();
};

struct ScreenCastOptions {
  std::optional<std::string> restore_token;
  // How long Start may wait for the user: minutes when someone is at the dialog, a few seconds
  // for the service, which must not keep a request waiting on a dialog nobody may see.
  std::chrono::milliseconds patience{5000};
};

// True when the session bus has a portal offering screen casting (version 4 or later, which
// knows persist_mode and restore tokens).
bool screencast_offered();

// Starts a session of every monitor, asking to keep the permission (persist_mode 2). A 503
// Failure that names the cause: no portal, the user cancelled, the desktop refused, no answer
// in time (the dialog is then closed). `consent_rejected`, when given, is set when the desktop
// did not grant the screen cast (cancelled, refused, or a dialog nobody answered).
Result<ScreenCast> start_screencast(const ScreenCastOptions& options,
                                    bool* consent_rejected = nullptr);

// Ends the session (the streams stop). Safe on a moved-from or failed session.
void close_screencast(ScreenCast& cast);

}  // namespace app::portal
